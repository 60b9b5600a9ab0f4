// Thread rule: one schedule belongs to one pass of the service thread.
//
// The cyclic transmission rule, the same on every bus: a row with a positive
// period goes out once less than kEarlySendMs of its period remain, a row
// with a negative period on every pass, a row with period 0 only on request.
// A pass ends its sends once a stop is requested.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "Helper.h"

namespace CustomApplication {

// What a bus service returns when it has nothing scheduled.
constexpr std::int64_t kNothingScheduled = 2147483647;
// A cyclic row goes out once less than this many milliseconds remain.
constexpr std::int64_t kEarlySendMs = 3;

class CyclicSchedule {
public:
    explicit CyclicSchedule(const std::atomic<bool>& stopRequested) : stopRequested_(stopRequested) {}

    // Whether a row of `period` last sent at `lastSentTicks` (0: never) is
    // to be sent now. The caller sends each row found due; the pass's wait
    // then counts the row as sent now.
    bool Due(std::int64_t period, std::int64_t lastSentTicks) {
        if (period == 0 || stopRequested_.load(std::memory_order_acquire)) return false;
        // Sent on every pass; takes no part in the wait.
        if (period < 0) return true;
        const std::int64_t now = PlatformServices::Helper::GetTicks();
        // Another thread may have sent the row since `now` was read: count
        // that as sent just now. Both values are non-negative, so neither
        // difference can overflow.
        const std::int64_t elapsed = std::max<std::int64_t>(0, now - lastSentTicks);
        const std::int64_t remaining = elapsed >= period ? 0 : period - elapsed;
        if (remaining < kEarlySendMs) {
            next_ = std::min(next_, period);
            return true;
        }
        next_ = std::min(next_, remaining);
        return false;
    }

    // Milliseconds until the next row is due, or kNothingScheduled.
    std::int64_t Next() const { return next_; }

private:
    const std::atomic<bool>& stopRequested_;
    std::int64_t next_ = kNothingScheduled;
};

}  // namespace CustomApplication
