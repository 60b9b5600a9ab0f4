#include "bus/CanBus.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <tuple>

namespace gatewaysim {

namespace {

// CRC delimiter, ACK slot, ACK delimiter, end of frame and interframe space.
constexpr std::uint32_t kFixedTailBits = 1 + 1 + 1 + 7 + 3;
constexpr std::uint32_t kCrcPolynomial = 0x4599;

// Walks the bits of a frame from the start of frame to the end of the CRC,
// with stuff bits, handing each to `put`.
template <typename Put>
void WalkStuffedBits(const CanFrame& frame, Put put) {
    int run = 0;
    int last = -1;
    const auto emit = [&](int bit) {
        put(bit);
        if (bit == last) {
            ++run;
        } else {
            last = bit;
            run = 1;
        }
        if (run == 5) {
            last = !bit;
            run = 1;
            put(last);
        }
    };
    std::uint32_t crc = 0;
    const auto field = [&](std::uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            const int bit = static_cast<int>((value >> i) & 1u);
            const std::uint32_t top = (crc >> 14) & 1u;
            crc = (crc << 1) & 0x7FFFu;
            if (top != static_cast<std::uint32_t>(bit)) crc ^= kCrcPolynomial;
            emit(bit);
        }
    };
    const std::uint32_t length = frame.length > 8 ? 8 : frame.length;
    field(0, 1);  // start of frame
    if (frame.extended) {
        field((frame.id >> 18) & 0x7FFu, 11);
        field(1, 1);  // substitute remote request
        field(1, 1);  // identifier extension
        field(frame.id & 0x3FFFFu, 18);
        field(frame.remote ? 1 : 0, 1);
        field(0, 2);  // r1, r0
    } else {
        field(frame.id & 0x7FFu, 11);
        field(frame.remote ? 1 : 0, 1);
        field(0, 2);  // identifier extension, r0
    }
    field(length, 4);
    if (!frame.remote) {
        for (std::uint32_t i = 0; i < length; ++i) field(frame.data[i], 8);
    }
    const std::uint32_t sequence = crc;
    for (int i = 14; i >= 0; --i) emit(static_cast<int>((sequence >> i) & 1u));
}

}  // namespace

std::string CanStuffedBits(const CanFrame& frame) {
    std::string bits;
    WalkStuffedBits(frame, [&bits](int bit) { bits += bit ? '1' : '0'; });
    return bits;
}

std::uint32_t CanWireBits(const CanFrame& frame) {
    std::uint32_t bits = 0;
    WalkStuffedBits(frame, [&bits](int) { ++bits; });
    return bits + kFixedTailBits;
}

std::uint32_t CanArbitrationKey(const CanFrame& frame) {
    // Base identifier, then the bit after it (remote request of a standard
    // frame, the recessive substitute bit of an extended one), the identifier
    // extension, the 18 low bits and an extended frame's remote request.
    if (frame.extended) {
        return (((frame.id >> 18) & 0x7FFu) << 21) | (1u << 20) | (1u << 19) | ((frame.id & 0x3FFFFu) << 1) |
               (frame.remote ? 1u : 0u);
    }
    return ((frame.id & 0x7FFu) << 21) | ((frame.remote ? 1u : 0u) << 20);
}

CanSender CanSender::Of(const CanFrame& frame, const Origin& origin) {
    CanSender sender;
    sender.kind = origin.kind;
    sender.address = origin.address;
    if (origin.kind == Origin::Kind::kJ1939) sender.unit = static_cast<std::int32_t>(frame.id & 0xFFu);
    return sender;
}

bool CanSender::operator<(const CanSender& other) const {
    return std::tie(kind, address, unit) < std::tie(other.kind, other.address, other.unit);
}

std::string CanSender::Text() const {
    switch (kind) {
        case Origin::Kind::kApplication: return "application " + std::to_string(address);
        case Origin::Kind::kJ1939:
        {
            char source[4];
            std::snprintf(source, sizeof(source), "%02X", static_cast<unsigned>(unit) & 0xFFu);
            return std::string("CA ") + source +
                   (address < 0 ? " of the platform" : " of application " + std::to_string(address));
        }
        case Origin::Kind::kTool: return "socketcand client " + std::to_string(address);
        case Origin::Kind::kReplay: return "replay";
        case Origin::Kind::kOperator: break;
    }
    return "operator";
}

std::int64_t CanBus::WireTimeUs(std::uint32_t bits) const {
    if (bitrate_ == 0) return 0;
    return (static_cast<std::int64_t>(bits) * 1'000'000 + bitrate_ - 1) / bitrate_;
}

CanBus::Offered CanBus::Offer(const CanFrame& frame, const Origin& origin, std::int64_t nowUs,
                              std::int64_t timingUs) {
    const CanSender sender = CanSender::Of(frame, origin);
    auto [it, added] = queues_.try_emplace(sender);
    if (added && queues_.size() > kTrackedSenders) {
        for (auto old = queues_.begin(); old != queues_.end();) {
            if (old != it && old->second.frames.empty() && &old->second != onWireQueue_) {
                old = queues_.erase(old);
            } else {
                ++old;
            }
        }
    }
    Queue& queue = it->second;
    queue.state.sender = sender;
    if (queue.frames.size() >= kQueueBound) {
        ++queue.state.dropped;
        return Offered::kDropped;
    }
    Pending pending;
    pending.frame = frame;
    pending.origin = origin;
    pending.offeredUs = nowUs;
    pending.timingUs = timingUs;
    pending.sequence = sequence_++;
    pending.key = CanArbitrationKey(frame);
    pending.bits = CanWireBits(frame);
    queue.frames.push_back(pending);
    ++waiting_;
    queue.state.queued = queue.frames.size();
    queue.state.peak = std::max(queue.state.peak, queue.state.queued);
    return queue.frames.size() >= kQueueDepth ? Offered::kQueuedFull : Offered::kQueued;
}

bool CanBus::Start(std::int64_t nowUs) {
    if (waiting_ == 0) return false;
    // The bus is taken when it is free and someone waits; whoever waits then
    // contends.
    const std::int64_t start = std::max(freeUs_, EarliestOfferUs());
    if (start > nowUs) return false;
    Queue* winner = nullptr;
    for (auto& [sender, queue] : queues_) {
        if (queue.frames.empty() || queue.frames.front().offeredUs > start) continue;
        const Pending& head = queue.frames.front();
        if (winner == nullptr || std::tie(head.key, head.sequence) <
                                     std::tie(winner->frames.front().key, winner->frames.front().sequence))
            winner = &queue;
    }
    onWire_ = winner->frames.front();
    winner->frames.pop_front();
    --waiting_;
    winner->state.queued = winner->frames.size();
    onWireQueue_ = winner;
    busy_ = true;
    wireStartUs_ = start;
    wireEndUs_ = start + WireTimeUs(onWire_.bits);
    return true;
}

void CanBus::Advance(std::int64_t nowUs, const std::function<void(const Finished&)>& finished) {
    for (;;) {
        if (!busy_ && !Start(nowUs)) return;
        if (wireEndUs_ > nowUs) return;
        busy_ = false;
        freeUs_ = wireEndUs_;
        ++onWireQueue_->state.sent;
        Finished done;
        done.frame = onWire_.frame;
        done.origin = onWire_.origin;
        done.startUs = wireStartUs_;
        done.endUs = wireEndUs_;
        done.timingUs = onWire_.timingUs;
        finished(done);
    }
}

std::int64_t CanBus::NextDueUs() const {
    if (busy_) return wireEndUs_;
    if (waiting_ == 0) return -1;
    return std::max(freeUs_, EarliestOfferUs());
}

std::int64_t CanBus::EarliestOfferUs() const {
    std::int64_t earliest = -1;
    for (const auto& [sender, queue] : queues_) {
        if (!queue.frames.empty() && (earliest < 0 || queue.frames.front().offeredUs < earliest))
            earliest = queue.frames.front().offeredUs;
    }
    return earliest;
}

bool CanBus::HoldsBack(const Origin& origin) const {
    CanSender first;
    first.kind = origin.kind;
    first.address = origin.address;
    first.unit = std::numeric_limits<std::int32_t>::min();
    for (auto it = queues_.lower_bound(first);
         it != queues_.end() && it->first.kind == origin.kind && it->first.address == origin.address; ++it) {
        if (it->second.frames.size() >= kQueueDepth) return true;
    }
    return false;
}

std::vector<CanBus::SenderState> CanBus::Senders() const {
    std::vector<SenderState> states;
    states.reserve(queues_.size());
    for (const auto& [sender, queue] : queues_) states.push_back(queue.state);
    return states;
}

}  // namespace gatewaysim
