// Thread rule: the installed clock is read by every thread; install or remove
// a clock only while no other thread of the process uses the platform layer
// (a test fixture's set-up and tear-down).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace PlatformServices {
namespace Helper {

// The time source behind GetTicks and every timed wait of the platform layer.
// The default is the system's monotonic clock; tests install their own.
class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic milliseconds.
    virtual std::int64_t NowMs() = 0;
    // Called with `lock` held: waits on `cv` until `ready()` holds or the
    // clock reaches `deadlineMs`. Returns `ready()`.
    virtual bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           std::int64_t deadlineMs, const std::function<bool()>& ready) = 0;
};

// The clock in use (never null).
Clock& CurrentClock();
// Installs `clock`; null restores the system clock. The caller keeps
// ownership and keeps the clock alive while installed.
void InstallClock(Clock* clock);

}  // namespace Helper
}  // namespace PlatformServices
