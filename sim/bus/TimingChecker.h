// Thread rule: not synchronised; the simulator's worker thread is its only
// user.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace gatewaysim {

// Learns the period of every cyclic frame it sees and reports the frames
// that arrive more than the tolerance (10%) away from it.
//
// A frame (bus, format, identifier) counts as cyclic once three intervals in
// a row agree within the tolerance; their mean is its period. From then on
// every interval outside the tolerance is a drift. After three drifts in a
// row the period is learnt anew (the sender changed its rate, or stopped
// being cyclic). Frames that never settle into a period are not reported.
class TimingChecker {
public:
    struct Drift {
        std::uint8_t bus = 0;
        bool extended = false;
        std::uint32_t id = 0;
        std::int64_t intervalUs = 0;  // the interval just measured
        std::int64_t periodUs = 0;    // the learnt period
        double deviationPercent = 0;  // (interval - period) / period, in percent
    };
    struct Entry {
        std::uint8_t bus = 0;
        bool extended = false;
        std::uint32_t id = 0;
        std::int64_t periodUs = 0;  // 0 while not (yet) cyclic
        std::uint64_t frames = 0;
        std::uint64_t drifts = 0;
        std::uint32_t bits = 0;     // its latest frame's bits on the wire, as given to Observe
    };

    static constexpr int kAgreeingIntervals = 3;
    static constexpr int kDriftsBeforeRelearning = 3;
    // Identifiers tracked at most; further ones are counted, not followed.
    static constexpr std::size_t kMaxTracked = 65536;

    explicit TimingChecker(double tolerance = 0.10) : tolerance_(tolerance) {}

    // Records one frame of `bits` bits seen at `timeUs` (any monotonic
    // microsecond count). True, with `*drift` filled, when the frame drifted
    // from its period.
    bool Observe(std::uint8_t bus, bool extended, std::uint32_t id, std::int64_t timeUs, Drift* drift,
                 std::uint32_t bits = 0);
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
        std::int64_t candidateUs = 0;
        int candidateCount = 0;
        int consecutiveDrifts = 0;
        std::uint64_t frames = 0;
        std::uint64_t drifts = 0;
        std::uint32_t bits = 0;
    };
    bool Within(std::int64_t interval, std::int64_t period) const;

    double tolerance_;
    std::unordered_map<std::uint64_t, State> states_;
    std::uint64_t untracked_ = 0;
};

}  // namespace gatewaysim
