// Thread rule: every member may be called from any thread. Install the clock
// before the code under test starts threads, and remove it after they ended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "Clock.h"

namespace testsupport {

// A tick clock that moves only when the test moves it. Timed waits of the
// platform layer end when Advance carries the clock past their deadline (or
// when their event is set); the clock records every timed wait begun.
class FakeClock : public PlatformServices::Helper::Clock {
public:
    explicit FakeClock(std::int64_t startMs = 1'000'000);
    ~FakeClock() override;

    std::int64_t NowMs() override;
    bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, std::int64_t deadlineMs,
                   const std::function<bool()>& ready) override;

    // Moves the clock forward and wakes every waiter.
    void Advance(std::int64_t ms);

    // Length of every timed wait begun so far, in order.
    std::vector<std::int64_t> WaitsBegun() const;
    // Blocks (real time, at most `realTimeoutMs`) until `count` timed waits
    // have begun and `waiting` of them are still waiting. False on time-out.
    bool AwaitWaits(std::size_t count, std::size_t waiting = 1, int realTimeoutMs = 10'000) const;

private:
    struct Waiter {
        std::condition_variable* cv;
        std::mutex* mutex;
    };

    std::atomic<std::int64_t> now_;
    mutable std::mutex lock_;  // guards the lists below; never held while waiting on a caller's cv
    mutable std::condition_variable changed_;
    std::vector<std::int64_t> waits_;
    std::list<Waiter> waiters_;
};

// Installs a clock for the lifetime of the object.
class ScopedClock {
public:
    explicit ScopedClock(PlatformServices::Helper::Clock& clock) { PlatformServices::Helper::InstallClock(&clock); }
    ~ScopedClock() { PlatformServices::Helper::InstallClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace testsupport
