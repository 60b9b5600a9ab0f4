// Thread rule: the encoders may be called from any thread; they write through
// the sink, which may be called from any thread. The records are plain
// values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/MessageSink.h"

namespace PlatformServices {
namespace CANIPC {

// Category of the CAN service's messages and the address they go to.
constexpr std::int32_t kCategory = 10;
constexpr std::int32_t kAddress = 254;

// Child commands of the CAN service.
enum Command : std::int32_t {
    kReceivedFrame = 1,       // platform to application: one Message
    kAddSubscription = 2,     // one AddSubscriptionData
    kRemoveAll = 3,           // no payload: every subscription of this application
    kSendFrame = 4,           // one Message
    kRemoveSubscription = 5,  // one AddSubscriptionData
};

// One CAN frame, sent and received as the byte image of this record (the
// target's byte order, little-endian).
struct Message {
    std::uint32_t Identifier;
    std::uint8_t Extended;  // 1: extended frame, 0: standard frame
    std::uint8_t Bus;       // the platform's bus number
    std::uint8_t Reserved;  // carries no meaning
    std::uint8_t Length;    // valid bytes of Data, 0 to 8
    std::uint8_t Data[8];
};
static_assert(sizeof(Message) == 16, "a frame record is 16 bytes");
static_assert(offsetof(Message, Extended) == 4 && offsetof(Message, Bus) == 5 &&
                  offsetof(Message, Length) == 7 && offsetof(Message, Data) == 8,
              "frame record layout");

// One subscription: frames on Bus whose identifier equals Identifier in the
// bits set in Mask.
struct AddSubscriptionData {
    std::uint8_t Bus;  // the platform's bus number; three bytes of padding follow
    std::uint32_t Identifier;
    std::uint32_t Mask;
};
static_assert(sizeof(AddSubscriptionData) == 12, "a subscription record is 12 bytes");
static_assert(offsetof(AddSubscriptionData, Identifier) == 4 && offsetof(AddSubscriptionData, Mask) == 8,
              "subscription record layout");

// Each encoder sends one category-10 message to address 254 through `sink`
// and returns its result; given a null record, it sends nothing and returns
// -22.

// Command 2: add the subscription `*data`.
int AddSubscription(const AddSubscriptionData* data, CustomApplication::MessageSink& sink);
// Command 5: withdraw the subscription `*data`.
int RemoveSubscription(const AddSubscriptionData* data, CustomApplication::MessageSink& sink);
// Command 3: withdraw every subscription of this application.
int RemoveSubscription(CustomApplication::MessageSink& sink);

}  // namespace CANIPC
}  // namespace PlatformServices
