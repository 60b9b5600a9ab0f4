#include "bus/TimingChecker.h"

#include <algorithm>
#include <cmath>

namespace gatewaysim {

namespace {

std::uint64_t FrameKey(std::uint8_t bus, bool extended, std::uint32_t id) {
    return (static_cast<std::uint64_t>(bus) << 33) | (static_cast<std::uint64_t>(extended ? 1 : 0) << 32) | id;
}

}  // namespace

bool TimingChecker::Within(std::int64_t interval, std::int64_t period) const {
    const double difference = std::fabs(static_cast<double>(interval - period));
    return difference <= tolerance_ * static_cast<double>(period);
}

bool TimingChecker::Observe(std::uint8_t bus, bool extended, std::uint32_t id, std::int64_t timeUs,
                            Drift* drift, std::uint32_t bits, Sender sender, std::int64_t seenUs) {
    const TimingChecker::Key key{FrameKey(bus, extended, id), sender.id};
    auto it = states_.find(key);
    if (it == states_.end()) {
        if (states_.size() >= kMaxTracked) {
            ++untracked_;
            return false;
        }
        it = states_.emplace(key, State{}).first;
    }
    State& s = it->second;
    ++s.frames;
    s.bits = bits;
    s.seenUs = seenUs >= 0 ? seenUs : timeUs;
    if (s.frames == 1) {
        s.lastUs = timeUs;
        return false;
    }
    const std::int64_t interval = timeUs - s.lastUs;
    s.lastUs = timeUs;
    // Frames stamped alike (a log replayed with coarse timestamps) or out of
    // order tell nothing about a period.
    if (interval <= 0) return false;
    // A row held back at its start (a J1939 CA claiming its address) begins
    // with an interval of no meaning.
    if (sender.firstIntervalHeld && s.frames == 2) return false;

    if (s.periodUs == 0) {
        if (s.candidateCount > 0 && Within(interval, s.candidateUs)) {
            s.candidateUs = (s.candidateUs * s.candidateCount + interval) / (s.candidateCount + 1);
            s.candidateSpanUs += interval;
            if (++s.candidateCount >= kAgreeingIntervals && s.candidateSpanUs >= kSettledRunUs)
                s.periodUs = s.candidateUs;
        } else {
            s.candidateUs = interval;
            s.candidateSpanUs = interval;
            s.candidateCount = 1;
        }
        return false;
    }
    if (Within(interval, s.periodUs)) {
        s.consecutiveDrifts = 0;
        return false;
    }
    ++s.drifts;
    if (drift != nullptr) {
        drift->bus = bus;
        drift->extended = extended;
        drift->id = id;
        drift->sender = sender.id;
        drift->intervalUs = interval;
        drift->periodUs = s.periodUs;
        drift->deviationPercent =
            100.0 * static_cast<double>(interval - s.periodUs) / static_cast<double>(s.periodUs);
    }
    if (++s.consecutiveDrifts >= kDriftsBeforeRelearning) {
        s.periodUs = 0;
        s.candidateUs = interval;
        s.candidateSpanUs = interval;
        s.candidateCount = 1;
        s.consecutiveDrifts = 0;
    }
    return true;
}

void TimingChecker::Forget(std::uint32_t sender) {
    for (auto it = states_.begin(); it != states_.end();) {
        if (it->first.sender == sender) {
            it = states_.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t TimingChecker::Expire(std::int64_t nowUs) {
    std::size_t forgotten = 0;
    for (auto it = states_.begin(); it != states_.end();) {
        const State& s = it->second;
        const std::int64_t quietUs =
            s.periodUs > 0 ? std::max(kStoppedPeriods * s.periodUs, kStoppedUs) : kIdleUs;
        if (nowUs - s.seenUs > quietUs) {
            it = states_.erase(it);
            ++forgotten;
        } else {
            ++it;
        }
    }
    return forgotten;
}

std::vector<TimingChecker::Entry> TimingChecker::Entries() const {
    std::vector<std::pair<std::pair<std::uint64_t, std::uint32_t>, Entry>> sorted;
    sorted.reserve(states_.size());
    for (const auto& [key, s] : states_) {
        Entry e;
        e.bus = static_cast<std::uint8_t>(key.frame >> 33);
        e.extended = ((key.frame >> 32) & 1) != 0;
        e.id = static_cast<std::uint32_t>(key.frame);
        e.sender = key.sender;
        e.periodUs = s.periodUs;
        e.frames = s.frames;
        e.drifts = s.drifts;
        e.bits = s.bits;
        sorted.emplace_back(std::make_pair(key.frame, key.sender), e);
    }
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Entry> entries;
    entries.reserve(sorted.size());
    for (auto& p : sorted) entries.push_back(p.second);
    return entries;
}

double TimingChecker::CyclicBitsPerSecond(std::uint8_t bus) const {
    double total = 0;
    for (const auto& [key, s] : states_) {
        if (static_cast<std::uint8_t>(key.frame >> 33) == bus && s.periodUs > 0)
            total += 1e6 * static_cast<double>(s.bits) / static_cast<double>(s.periodUs);
    }
    return total;
}

void TimingChecker::Clear() {
    states_.clear();
    untracked_ = 0;
}

}  // namespace gatewaysim
