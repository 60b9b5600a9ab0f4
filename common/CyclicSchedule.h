// Thread rule: one schedule belongs to one pass of the service thread.
//
// The cyclic transmission rule, the same on every bus. A row with a positive
// period is due `period` ms after the start of its cycle, and goes out on the
// first pass at or after that tick (so at most within the millisecond before
// its due time). The cycle a cyclic send begins starts when the row was due,
// not when it went out: a row sent a little late keeps its phase, so its
// long-run rate is its period however often the passes run, and rows of
// other periods beside it never make its intervals alternate. A row more
// than half a period late skips the cycles it missed and starts afresh: no
// catch-up burst. A send on request and a row's first send start the cycle
// when they happen. A row with a negative period goes out on every pass, a
// row with period 0 only on request. A pass ends its sends once a stop is
// requested.
//
// The rows due in a pass go out together: each row's frame is taken when the
// row is visited and kept (TransmitBatch), and Finish writes them all at the
// pass's end, one message per category and address. However many rows are
// due at once, the last of them is not later than the first by the sum of
// the writes before it. A failed write costs every row in it that cycle,
// as a row's own failed write would: each keeps its phase.
//
// Each row is judged at the tick it is visited; the time to the next due
// row counts from the tick the pass began at, so that the service loop can
// wait until that absolute tick however long the pass itself took.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>

#include "Helper.h"
#include "common/MessageSink.h"
#include "common/TransmitBatch.h"

namespace CustomApplication {

// What a bus service returns when it has nothing scheduled.
constexpr std::int64_t kNothingScheduled = 2147483647;

class CyclicSchedule {
public:
    // `passTick`: the tick the pass began at (the service loop reads it once
    // for all buses); `sink`: where the pass's rows are written.
    CyclicSchedule(const std::atomic<bool>& stopRequested, std::int64_t passTick, MessageSink& sink)
        : stopRequested_(stopRequested), passTick_(passTick), batch_(sink) {}
    CyclicSchedule(const CyclicSchedule&) = delete;
    CyclicSchedule& operator=(const CyclicSchedule&) = delete;

    // Has `write(sink)` send `row` through `sink` when it is due, after
    // moving the row's cycle start (its LastSentTicks) on; the cycle moves
    // on whatever the write's result, so a write that fails skips that
    // cycle. What `write` sends is kept until Finish. Rows of every bus have
    // `Period` and `LastSentTicks` (0: never sent).
    template <typename Row, typename Write>
    void Visit(Row& row, Write&& write) {
        std::int64_t start = 0;
        if (!Due(row.Period, row.LastSentTicks.load(std::memory_order_relaxed), &start)) return;
        // Stored before the write: a send on request that follows it on
        // another thread restarts the cycle as it should.
        row.LastSentTicks.store(start, std::memory_order_relaxed);
        (void)write(static_cast<MessageSink&>(batch_));
    }

    // Writes the rows visited due (one write per message) and returns Next().
    std::int64_t Finish() {
        (void)batch_.Flush();
        return next_;
    }

    // Milliseconds from the pass's tick until the next row is due, or
    // kNothingScheduled.
    std::int64_t Next() const { return next_; }

private:
    // Whether a row of `period` whose cycle started at `start` (0: never
    // sent) is to be sent now; if so, `*nextStart` is the start of the
    // cycle its send begins.
    bool Due(std::int64_t period, std::int64_t start, std::int64_t* nextStart) {
        if (period == 0 || stopRequested_.load(std::memory_order_acquire)) return false;
        const std::int64_t now = PlatformServices::Helper::GetTicks();
        // Sent on every pass; takes no part in the wait.
        if (period < 0) {
            *nextStart = now;
            return true;
        }
        // Both ticks are non-negative, so the difference cannot overflow; it
        // is negative when another thread sent the row since `now` was read.
        const std::int64_t remaining = Remaining(period, now - start);
        if (remaining > 0) {
            DueIn(remaining, now);
            return false;
        }
        const std::int64_t late = -remaining;
        if (start == 0 || late > period / 2) {
            *nextStart = now;  // first send, or cycles missed: start afresh
        } else {
            *nextStart = start + period;
        }
        DueIn(Remaining(period, now - *nextStart), now);
        return true;
    }

    // Counts a row due `remaining` ms after `now` from the pass's tick.
    void DueIn(std::int64_t remaining, std::int64_t now) {
        const std::int64_t passed = now - passTick_;  // the pass's own length so far
        const std::int64_t latest = std::numeric_limits<std::int64_t>::max();
        const std::int64_t fromPass = passed > 0 && remaining > latest - passed ? latest : remaining + passed;
        next_ = std::min(next_, fromPass);
    }

    // `period` - `elapsed`, held at the largest value instead of overflowing.
    static std::int64_t Remaining(std::int64_t period, std::int64_t elapsed) {
        if (elapsed < 0 && period > std::numeric_limits<std::int64_t>::max() + elapsed) {
            return std::numeric_limits<std::int64_t>::max();
        }
        return period - elapsed;
    }

    const std::atomic<bool>& stopRequested_;
    const std::int64_t passTick_;
    TransmitBatch batch_;  // writes what Finish did not on destruction
    std::int64_t next_ = kNothingScheduled;
};

}  // namespace CustomApplication
