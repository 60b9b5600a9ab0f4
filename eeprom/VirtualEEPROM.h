// Thread rule: application threads run the operations, one request at a time
// per instance (the others wait for their turn); the listener thread hands
// each reply to HandleReply, which stores it and wakes the waiter. The reply
// slot's lock is held only to store a reply or to copy one out, never across
// a write.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ManualResetEvent.h"
#include "common/MessageSink.h"
#include "common/Mutex.h"
#include "common/RequestTurn.h"

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
    void WakeWaiter() { replyEvent_.Set(); }

private:
    // What each reply answers.
    enum Kind : std::int32_t { KindNone = -1, KindRead, KindWrite, KindState, KindSave, KindDestroy };

    // Takes the turn, sends the request, waits for the reply and checks its
    // kind. 0 with `result` set from the reply (and, for a read whose reply
    // reported success, up to `capacity` data bytes copied to `readInto`),
    // -110 on time-out, -131 for a reply of another kind.
    std::int32_t Exchange(std::int32_t command, const void* request, std::size_t requestLength, Kind kind,
                          std::int32_t& result, unsigned char* readInto = nullptr, std::int32_t capacity = 0);

    MessageSink& sink_;
    RequestTurn turn_;
    PlatformServices::ManualResetEvent replyEvent_;

    // The last reply stored.
    Mutex replyLock_;
    std::int32_t replyKind_ GUARDED_BY(replyLock_) = KindNone;
    std::uint32_t replyAddress_ GUARDED_BY(replyLock_) = 0;
    std::int32_t replyLength_ GUARDED_BY(replyLock_) = 0;
    std::int32_t replyResult_ GUARDED_BY(replyLock_) = 0;
    std::uint8_t replyData_[kDataBytes] GUARDED_BY(replyLock_) = {};  // data of the last successful read reply
};

}  // namespace Internal
}  // namespace CustomApplication
