// Thread rule: Set, Reset and WaitOne may be called from any threads at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace PlatformServices {

// An event that stays signalled from Set until Reset; every waiter is
// released by one Set. Time-outs are measured on the tick clock (Clock.h),
// which is monotonic unless a test substitutes it.
class ManualResetEvent {
public:
    explicit ManualResetEvent(bool initiallySet = false) : set_(initiallySet) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;

    // 0 once the event is signalled (at once if it already is), 1 when
    // `timeoutMs` milliseconds passed first. A time-out of 0 or less only
    // tests the event.
    int WaitOne(std::int32_t timeoutMs);
    // 0 once the event is signalled, 1 once the tick clock reached
    // `deadlineTicks` first (at once when it already has). The deadline is
    // absolute: however late the call begins, the wait ends at that tick.
    int WaitUntil(std::int64_t deadlineTicks);

private:
    mutable std::mutex lock_;
    std::condition_variable cv_;
    bool set_;
};

}  // namespace PlatformServices
