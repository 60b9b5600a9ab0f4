// Thread rule: not synchronised; the simulator's worker thread only (unit
// tests drive it from their own thread on a time of their own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bus/Frames.h"

namespace gatewaysim {

// The bits of `frame` from the start of frame to the end of the CRC
// sequence as they go on the wire, stuff bits included, as '0' (dominant)
// and '1' (recessive): the identifier, control field and data, then the
// CRC-15 (polynomial 4599) computed over everything before it; after five
// equal bits the complement is stuffed in.
std::string CanStuffedBits(const CanFrame& frame);
// Bits that `frame` occupies the bus for: its stuffed bits up to the CRC,
// then the CRC delimiter, the ACK slot and delimiter, the 7-bit end of frame
// and the 3-bit interframe space (13 bits).
std::uint32_t CanWireBits(const CanFrame& frame);
// The frame's arbitration field as one number: of two frames contending for
// the bus, the lower one wins (a lower identifier; for the same 11-bit base
// identifier a standard frame before an extended one, a data frame before a
// remote frame).
std::uint32_t CanArbitrationKey(const CanFrame& frame);

// Who queues frames for a bus: an application (by address), a hosted J1939
// CA (its application and its source address), a CAN tool (its connection),
// the operator, the replay. Each has its own transmit queue on each bus.
struct CanSender {
    Origin::Kind kind = Origin::Kind::kOperator;
    std::int32_t address = 0;  // the application or tool; -1 for the platform's static CAs
    std::int32_t unit = 0;     // a J1939 CA's source address; 0 otherwise

    static CanSender Of(const CanFrame& frame, const Origin& origin);
    bool operator<(const CanSender& other) const;
    bool operator==(const CanSender& other) const {
        return kind == other.kind && address == other.address && unit == other.unit;
    }
    std::string Text() const;
};

// One simulated CAN bus with a bit rate: it carries one frame at a time, for
// its length in bits, and of the frames waiting when the bus comes free the
// one that wins arbitration goes next. Every sender has a transmit queue of
// its own whose frames go in their order.
//
// It runs on the time it is given (microseconds, any monotonic count): Offer
// queues a frame, Advance moves the bus up to a moment and hands over the
// frames that finished by then; NextEndUs tells when the next one finishes.
class CanBus {
public:
    // A sender's queue is full at this depth: the simulator stops taking
    // frames from it until there is room again.
    static constexpr std::size_t kQueueDepth = 64;
    // A sender that cannot be held back (the J1939 network, the operator)
    // loses frames beyond this depth; they are counted.
    static constexpr std::size_t kQueueBound = 1024;
    // Senders followed at most: beyond it, the empty queues of the others
    // (and their counts) are forgotten when a new sender comes, so that CAN
    // tools that come and go leave nothing behind.
    static constexpr std::size_t kTrackedSenders = 256;

    struct Finished {
        CanFrame frame;
        Origin origin;
        std::int64_t startUs = 0;   // the start of frame went on the wire
        std::int64_t endUs = 0;     // the interframe space after it ended
        std::int64_t timingUs = -1; // the time asked for at Offer, or -1
    };
    enum class Offered { kQueued, kQueuedFull, kDropped };
    struct SenderState {
        CanSender sender;
        std::size_t queued = 0;
        std::size_t peak = 0;  // the deepest its queue has been
        std::uint64_t sent = 0;
        std::uint64_t dropped = 0;
    };

    explicit CanBus(std::uint32_t bitsPerSecond) : bitrate_(bitsPerSecond) {}

    std::uint32_t Bitrate() const { return bitrate_; }
    // Microseconds that `bits` occupy this bus (rounded up).
    std::int64_t WireTimeUs(std::uint32_t bits) const;

    // Queues `frame` of `origin` at `nowUs`, behind that sender's earlier
    // frames. `timingUs` is handed back with it when it finishes (-1: none).
    // kQueuedFull: queued, and the sender's queue is now full; kDropped: its
    // queue was at kQueueBound and the frame was not taken.
    Offered Offer(const CanFrame& frame, const Origin& origin, std::int64_t nowUs, std::int64_t timingUs = -1);
    // Runs the bus up to `nowUs` and calls `finished` for every frame that
    // ended by then, in the order they were on the wire. `finished` may offer
    // frames (they contend from `nowUs` on).
    void Advance(std::int64_t nowUs, const std::function<void(const Finished&)>& finished);
    // When the frame on the wire ends, or when the next waiting frame would
    // start if the bus is free; -1 when nothing waits.
    std::int64_t NextDueUs() const;
    // Takes every frame off the bus at `nowUs`, as a bus that goes silent:
    // the one on the wire is cut short (none receives it) and the waiting
    // ones never go. Each is handed to `discarded` (counted as dropped by its
    // sender); the bus is free from `nowUs`. Run Advance up to `nowUs` first
    // so that the frames that ended before are carried.
    void Discard(std::int64_t nowUs, const std::function<void(const CanFrame&, const Origin&)>& discarded);

    // True when a queue of `origin` is full: of the application, or of any
    // of the CAs hosted for it (kJ1939).
    bool HoldsBack(const Origin& origin) const;
    std::size_t Waiting() const { return waiting_; }
    // Every sender followed, with its queue and counts, in CanSender order.
    std::vector<SenderState> Senders() const;

private:
    struct Pending {
        CanFrame frame;
        Origin origin;
        std::int64_t offeredUs = 0;
        std::int64_t timingUs = -1;
        std::uint64_t sequence = 0;  // equal keys: the earlier offer first
        std::uint32_t key = 0;
        std::uint32_t bits = 0;
    };
    struct Queue {
        std::deque<Pending> frames;
        SenderState state;
    };
    // Puts the winner among the frames waiting at the first moment the bus
    // is free on the wire; false when none waits by `nowUs`.
    bool Start(std::int64_t nowUs);
    // The first offer among the heads of the queues (-1: none waits).
    std::int64_t EarliestOfferUs() const;

    const std::uint32_t bitrate_;
    std::map<CanSender, Queue> queues_;
    std::size_t waiting_ = 0;
    std::uint64_t sequence_ = 0;
    bool busy_ = false;
    Pending onWire_;
    Queue* onWireQueue_ = nullptr;
    std::int64_t wireStartUs_ = 0;
    std::int64_t wireEndUs_ = 0;
    std::int64_t freeUs_ = 0;  // when the last frame's interframe space ended
};

// Runs every bus up to `nowUs` and hands over the frames that ended by then
// on all of them in the order they ended on the wire (of frames that ended
// at the same microsecond, the lower bus first), so that what sees every bus
// (a log) sees time go forward. `scratch` holds them meanwhile (its capacity
// is kept for the next call). `finished` may offer frames: they contend from
// `nowUs` on. When the next frame on any bus ends or may start, or -1.
std::int64_t AdvanceInWireOrder(std::vector<CanBus>& buses, std::int64_t nowUs,
                                std::vector<CanBus::Finished>* scratch,
                                const std::function<void(const CanBus::Finished&)>& finished);

}  // namespace gatewaysim
