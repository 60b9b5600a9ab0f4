#include "Clock.h"

#include <atomic>
#include <chrono>
#include <limits>
#include <new>

namespace PlatformServices {
namespace Helper {

namespace {

class SystemClock final : public Clock {
public:
    std::int64_t NowMs() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   std::int64_t deadlineMs, const std::function<bool()>& ready) override {
        using Steady = std::chrono::steady_clock;
        // Past this the deadline no longer fits the clock's representation:
        // wait without one.
        constexpr std::int64_t kLatestMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Steady::duration::max()).count() /
            2;
        if (deadlineMs >= kLatestMs) {
            while (!ready()) cv.wait(lock);
            return true;
        }
        // An absolute time on the monotonic clock (the condition variable
        // waits with pthread_cond_clockwait on CLOCK_MONOTONIC): the wait
        // ends at that time however late it began.
        const Steady::time_point deadline{std::chrono::milliseconds(deadlineMs)};
        while (!ready()) {
            if (cv.wait_until(lock, deadline) == std::cv_status::timeout) return ready();
        }
        return true;
    }
};

// Never destroyed: threads that outlive static destruction may still ask for
// the time.
SystemClock& TheSystemClock() {
    alignas(SystemClock) static unsigned char storage[sizeof(SystemClock)];
    static SystemClock* const clock = new (storage) SystemClock();
    return *clock;
}

std::atomic<Clock*> g_installed{nullptr};

}  // namespace

Clock& CurrentClock() {
    Clock* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : TheSystemClock();
}

void InstallClock(Clock* clock) {
    g_installed.store(clock, std::memory_order_release);
}

}  // namespace Helper
}  // namespace PlatformServices
