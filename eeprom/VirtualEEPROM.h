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

    // Answers dropped because their operation had given up (read, write,
    // state, save, destroy: kinds 0 to 4).
    std::uint64_t LateAnswers(std::int32_t kind) const {
        return kind < 0 ? 0 : exchange_.LateAnswers(static_cast<std::size_t>(kind));
    }

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

    // What a reply can tell of the request it answers: its operation and,
    // for a read or write, the address. (The count it carries is that of a
    // successful operation only, so it cannot tell two requests for one
    // address apart; it is checked on the answer instead.)
    struct Request {
        static constexpr std::size_t kKinds = 5;
        Kind kind = KindNone;
        std::uint32_t address = 0;
        bool Addressed() const { return kind == KindRead || kind == KindWrite; }
        std::size_t KindIndex() const { return static_cast<std::size_t>(kind); }
        bool Answers(const Reply& reply) const {
            return reply.kind == kind && (!Addressed() || reply.address == address);
        }
        bool Confusable(const Request& other) const {
            return other.kind == kind && (!Addressed() || other.address == address);
        }
    };

    // Takes the turn, sends the request and waits for the reply that
    // answers it. 0 with `result` set from the reply (and, for a read whose
    // reply reported success, `length` data bytes copied to `readInto`);
    // otherwise the exchange's result (-110, -131 when only replies that
    // answer something else came, -107 without a connection, -114 while an
    // earlier request's answer could still be taken for this one's) or the
    // failed write's (-11: the platform did not take the request). A read
    // or write answered as successful with another count than `length`
    // gives -131 as `result`.
    std::int32_t Exchange(std::int32_t command, const void* request, std::size_t requestLength, Kind kind,
                          std::int32_t& result, unsigned char* readInto = nullptr, std::int32_t length = 0);

    MessageSink& sink_;
    RequestExchange<Reply, Request> exchange_;
};

}  // namespace Internal
}  // namespace CustomApplication
