// Thread rule: application threads run the operations, one request at a time
// per instance (the others wait for their turn); the listener thread hands
// each reply to HandleReply, which passes it to the request it answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/MessageSink.h"
#include "common/RequestExchange.h"

namespace CustomApplication {
namespace Internal {

// The platform-kept persistent bytes of this application: blocking requests
// to the platform's EEPROM service (category 22) and the slot of their
// replies.
class VirtualEEPROM {
public:
    // Bytes that one read or write moves at most.
    static constexpr std::size_t kDataBytes = 1024;
    // The state reported when there is no valid state to report.
    static constexpr std::int32_t kStateUnknown = 5;

    // `sink` carries the requests and outlives this object.
    explicit VirtualEEPROM(MessageSink& sink) : sink_(sink) {}
    VirtualEEPROM(const VirtualEEPROM&) = delete;
    VirtualEEPROM& operator=(const VirtualEEPROM&) = delete;

    // The operations; see the facade for their results.
    std::int32_t Read(std::uint32_t address, unsigned char* data, std::int32_t length);
    std::int32_t Write(std::uint32_t address, const unsigned char* data, std::int32_t length);
    std::int32_t GetState();
    std::int32_t Save();
    std::int32_t Destroy();

    // Stores one reply of the EEPROM service (child commands 2, 4, 6, 8, 10)
    // and wakes the waiting request. A reply of another command or of the
    // wrong size is dropped.
    void HandleReply(std::int32_t command, const std::uint8_t* data, std::size_t length);
    // Ends the wait of a request once no answer can come; it then finds the
    // connection gone.
    void WakeWaiter() { exchange_.Wake(); }

private:
    // What each reply answers.
    enum Kind : std::int32_t { KindNone = -1, KindRead, KindWrite, KindState, KindSave, KindDestroy };

    // One reply of the EEPROM service.
    struct Reply {
        Kind kind = KindNone;
        std::uint32_t address = 0;  // read and write replies
        std::int32_t length = 0;    // read and write replies
        std::int32_t result = 0;
        std::uint8_t data[kDataBytes] = {};  // a successful read reply's data
    };

    // Takes the turn, sends the request and waits for the reply that
    // answers it: one of its kind and, for a read or write, its address.
    // 0 with `result` set from the reply (and, for a read whose reply
    // reported success, up to `capacity` data bytes copied to `readInto`);
    // otherwise the exchange's result (-110, -131 when only replies that
    // answer something else came, -107 without a connection) or the failed
    // write's (-11: the platform did not take the request).
    std::int32_t Exchange(std::int32_t command, const void* request, std::size_t requestLength, Kind kind,
                          std::int32_t& result, unsigned char* readInto = nullptr, std::int32_t capacity = 0);

    MessageSink& sink_;
    RequestExchange<Reply> exchange_;
};

}  // namespace Internal
}  // namespace CustomApplication
