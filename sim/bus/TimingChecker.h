// Thread rule: not synchronised; the simulator's worker thread is its only
// user.
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace gatewaysim {

// How a row is sent: by whom (any number that names the sender), and
// whether its first interval is no part of its period (a J1939 row held
// back while its CA claims its address).
struct TimingSender {
    std::uint32_t id = 0;
    bool firstIntervalHeld = false;
};

// Learns the period of every cyclic frame it sees and reports the frames
// that arrive more than the tolerance (10% by default) away from it.
//
// Each sender's frames are followed apart (two senders of one identifier
// are two rows), and a sender's rows are forgotten when it goes (an
// application that reconnects starts afresh). A frame (bus, format,
// identifier, sender) counts as cyclic once a settled run of intervals
// agrees within the tolerance: at least three intervals in a row, spanning
// at least kSettledRunUs, so that a burst (frames held up and sent back to
// back, a one-off flood) is never taken for a period; their mean is its
// period. From then on every interval outside the tolerance is a drift.
// After three drifts in a row the period is learnt anew (the sender changed
// its rate, or stopped being cyclic). Frames that never settle into a period
// are not reported. A row that stopped (nothing for four periods, and at
// least kStoppedUs; a row without a period: kIdleUs) is forgotten by Expire.
class TimingChecker {
public:
    struct Drift {
        std::uint8_t bus = 0;
        bool extended = false;
        std::uint32_t id = 0;
        std::uint32_t sender = 0;
        std::int64_t intervalUs = 0;  // the interval just measured
        std::int64_t periodUs = 0;    // the learnt period
        double deviationPercent = 0;  // (interval - period) / period, in percent
    };
    struct Entry {
        std::uint8_t bus = 0;
        bool extended = false;
        std::uint32_t id = 0;
        std::uint32_t sender = 0;
        std::int64_t periodUs = 0;  // 0 while not (yet) cyclic
        std::uint64_t frames = 0;
        std::uint64_t drifts = 0;
        std::uint32_t bits = 0;     // its latest frame's bits on the wire, as given to Observe
    };

    static constexpr int kAgreeingIntervals = 3;
    static constexpr std::int64_t kSettledRunUs = 250'000;
    static constexpr int kStoppedPeriods = 4;
    static constexpr std::int64_t kStoppedUs = 2'000'000;
    static constexpr std::int64_t kIdleUs = 10'000'000;
    static constexpr int kDriftsBeforeRelearning = 3;
    // Identifiers tracked at most; further ones are counted, not followed.
    static constexpr std::size_t kMaxTracked = 65536;

    static constexpr double kDefaultTolerance = 0.10;

    // `tolerance`: the deviation from the period that is no drift, as a
    // fraction of it.
    explicit TimingChecker(double tolerance = kDefaultTolerance) : tolerance_(tolerance) {}

    using Sender = TimingSender;

    // Records one frame of `bits` bits seen at `timeUs` (any monotonic
    // microsecond count). True, with `*drift` filled, when the frame drifted
    // from its period. `seenUs`: the moment it was seen on the clock that
    // Expire is given, when `timeUs` counts on another (a log's); -1: `timeUs`.
    bool Observe(std::uint8_t bus, bool extended, std::uint32_t id, std::int64_t timeUs, Drift* drift,
                 std::uint32_t bits = 0, Sender sender = Sender(), std::int64_t seenUs = -1);
    // Forgets the rows of `sender`.
    void Forget(std::uint32_t sender);
    // Forgets the rows that stopped by `nowUs` (the clock of `seenUs`); how many.
    std::size_t Expire(std::int64_t nowUs);
    // Bits per second that the cyclic frames of `bus` ask for: the sum of
    // their bits over their periods.
    double CyclicBitsPerSecond(std::uint8_t bus) const;

    // Every tracked frame, ordered by bus, format and identifier.
    std::vector<Entry> Entries() const;
    std::uint64_t Untracked() const { return untracked_; }
    void Clear();

private:
    struct State {
        std::int64_t lastUs = 0;
        std::int64_t periodUs = 0;
        std::int64_t seenUs = 0;
        std::int64_t candidateUs = 0;
        std::int64_t candidateSpanUs = 0;  // the time the agreeing run covers
        int candidateCount = 0;
        int consecutiveDrifts = 0;
        std::uint64_t frames = 0;
        std::uint64_t drifts = 0;
        std::uint32_t bits = 0;
    };
    struct Key {
        std::uint64_t frame;  // bus, format, identifier
        std::uint32_t sender;
        bool operator==(const Key& other) const { return frame == other.frame && sender == other.sender; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const {
            return std::hash<std::uint64_t>()(k.frame ^ (static_cast<std::uint64_t>(k.sender) << 35));
        }
    };
    bool Within(std::int64_t interval, std::int64_t period) const;

    double tolerance_;
    std::unordered_map<Key, State, KeyHash> states_;
    std::uint64_t untracked_ = 0;
};

}  // namespace gatewaysim
