// Thread rule: the encoders may be called from any thread; they write through
// the sink, which may be called from any thread. The records are plain data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/MessageSink.h"

namespace PlatformServices {
namespace J1939IPC {

// Every J1939 request goes to category 13 at address 13.
constexpr std::int32_t kCategory = 13;
constexpr std::int32_t kAddress = 13;

// Child commands of category 13.
enum Command : std::int32_t {
    CommandRequest = 0,                  // SDK -> platform: request id 10 or 12
    CommandCreateInterfaceManager = 1,   // SDK -> platform: bus
    CommandSubscribe = 3,                // SDK -> platform: subscription
    CommandSendMessage = 4,              // SDK -> platform: J1939SendMessageIPC
    CommandReceivedMessage = 5,          // platform -> SDK: J1939ReceiveMessageIPC
    CommandCreateController = 6,         // SDK -> platform: CA creation
    CommandRemoveController = 7,         // SDK -> platform: bus and address
    CommandCAList = 10,                  // platform -> SDK: the CAs present
    CommandUnsubscribe = 11,             // SDK -> platform: subscription
    CommandStaticCAList = 12,            // platform -> SDK: the CAs the platform keeps configured
};

// Request ids of command 0; the platform answers with the child command of
// the same number.
constexpr std::int32_t kRequestCAList = 10;
constexpr std::int32_t kRequestStaticCAList = 12;

// Largest payload of a J1939 message.
constexpr std::size_t kMaxData = 1785;
// The largest PGN (18 bits) and priority (3 bits) the platform sends; it
// refuses a message with more.
constexpr std::uint32_t kMaxPGN = 0x3FFFF;
constexpr std::uint8_t kMaxPriority = 7;
inline bool SendableHeader(std::uint32_t pgn, std::uint8_t priority) {
    return pgn <= kMaxPGN && priority <= kMaxPriority;
}

// What a subscription selects.
enum J1939SubscriptionModesIPC : std::uint32_t {
    SubscribePGN = 0,            // one PGN; address field 0
    SubscribeSourceAddress = 1,  // one source address; PGN field 0
    SubscribePGNAndSource = 2,   // one PGN from one source address
    SubscribeAll = 3,            // every message on the bus; both fields 0
};

// The NAME of a CA, one NAME field per member; the platform packs it.
struct J1939NameIPC {
    std::uint8_t ArbitraryAddressCapable;
    std::uint8_t IndustryGroup;
    std::uint8_t VehicleSystemInstance;
    std::uint8_t VehicleSystem;
    std::uint32_t IdentityNumber;
    std::uint16_t ManufacturerCode;
    std::uint8_t Function;
    std::uint8_t FunctionInstance;
    std::uint8_t ECUInstance;
    std::uint8_t Reserved[3];
};

// Command 6: create a CA that claims `Address` on `Bus`.
struct J1939CreateControllerIPC {
    std::uint8_t Bus;
    std::uint8_t Address;
    std::uint8_t Reserved[2];
    J1939NameIPC Name;
};

// Commands 3 and 11: one subscription.
struct J1939SubscriptionIPC {
    std::uint8_t Bus;
    std::uint8_t Reserved1[3];
    std::uint32_t Mode;  // J1939SubscriptionModesIPC
    std::uint32_t PGN;
    std::uint8_t SourceAddress;
    std::uint8_t Reserved2[3];
};

// Command 7: remove a CA.
struct J1939RemoveControllerIPC {
    std::uint8_t Bus;
    std::uint8_t Address;
};

// Command 4: one message to send. Only the header and the first `Length`
// payload bytes travel.
struct J1939SendMessageIPC {
    std::uint8_t Bus;
    std::uint8_t SourceAddress;
    std::uint8_t DestinationAddress;
    std::uint8_t Priority;
    std::uint32_t PGN;
    std::uint16_t Length;  // 0 to 1785
    std::uint8_t Reserved1[2];
    std::uint32_t Zero;    // always 0
    std::uint8_t Reserved2[4];
    std::uint8_t Data[kMaxData];
};
constexpr std::size_t kSendHeaderBytes = 20;

// Command 5: one received message, a record of 1800 bytes.
struct J1939ReceiveMessageIPC {
    std::uint8_t Bus;
    std::uint8_t SourceAddress;
    std::uint8_t DestinationAddress;  // 255: the global address
    std::uint8_t Priority;
    std::uint32_t PGN;
    std::uint16_t Length;
    std::uint8_t Padding[2];
    std::uint8_t Data[1788];
};
constexpr std::size_t kReceiveHeaderBytes = 12;
constexpr std::size_t kReceiveRecordBytes = 1800;
constexpr std::size_t kReceiveDataBytes = kReceiveRecordBytes - kReceiveHeaderBytes;

// The records travel as byte images; these are the layouts on the wire.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the J1939 records travel little-endian");
static_assert(sizeof(J1939NameIPC) == 16 && offsetof(J1939NameIPC, IdentityNumber) == 4 &&
                  offsetof(J1939NameIPC, ManufacturerCode) == 8 && offsetof(J1939NameIPC, Function) == 10 &&
                  offsetof(J1939NameIPC, ECUInstance) == 12,
              "NAME record layout");
static_assert(sizeof(J1939CreateControllerIPC) == 20 && offsetof(J1939CreateControllerIPC, Name) == 4,
              "CA creation layout");
static_assert(sizeof(J1939SubscriptionIPC) == 16 && offsetof(J1939SubscriptionIPC, Mode) == 4 &&
                  offsetof(J1939SubscriptionIPC, PGN) == 8 && offsetof(J1939SubscriptionIPC, SourceAddress) == 12,
              "subscription layout");
static_assert(sizeof(J1939RemoveControllerIPC) == 2, "CA removal layout");
static_assert(offsetof(J1939SendMessageIPC, PGN) == 4 && offsetof(J1939SendMessageIPC, Length) == 8 &&
                  offsetof(J1939SendMessageIPC, Zero) == 12 && offsetof(J1939SendMessageIPC, Data) == kSendHeaderBytes,
              "sent message layout");
static_assert(sizeof(J1939ReceiveMessageIPC) == kReceiveRecordBytes &&
                  offsetof(J1939ReceiveMessageIPC, PGN) == 4 && offsetof(J1939ReceiveMessageIPC, Length) == 8 &&
                  offsetof(J1939ReceiveMessageIPC, Data) == kReceiveHeaderBytes,
              "received message layout");

// The encoders. Each sends one category-13 message to address 13 through
// `sink` and returns its result. `bus` is the platform's bus number.

// Command 0: request id 12 (the static CAs) when `staticList`, else 10 (the CAs present).
int GetCurrentCAList(CustomApplication::MessageSink& sink, bool staticList);
// Command 1: prepare the bus for CAs.
int CreateInterfaceManager(unsigned char bus, CustomApplication::MessageSink& sink);
// Command 6. A null `name` gives -22.
int CreateControllerApplication(unsigned char bus, unsigned char address, J1939NameIPC* name,
                                CustomApplication::MessageSink& sink);
// Command 7.
int RemoveControllerApplication(unsigned char bus, unsigned char address, CustomApplication::MessageSink& sink);
// Command 11 when `unsubscribe`, else command 3.
int SubscribeMessage(unsigned char bus, J1939SubscriptionModesIPC mode, unsigned int pgn, unsigned char address,
                     CustomApplication::MessageSink& sink, bool unsubscribe);
// Command 4 with the header and `message->Length` payload bytes. A null
// `message`, or a `Length` above 1785 (more than the record holds), gives -22.
int SendMessage(J1939SendMessageIPC* message, CustomApplication::MessageSink& sink);

}  // namespace J1939IPC
}  // namespace PlatformServices
