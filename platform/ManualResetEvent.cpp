#include "ManualResetEvent.h"

#include "Clock.h"

namespace PlatformServices {

void ManualResetEvent::Set() {
    std::lock_guard<std::mutex> guard(lock_);
    set_ = true;
    cv_.notify_all();
}

void ManualResetEvent::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    set_ = false;
}

bool ManualResetEvent::IsSet() const {
    std::lock_guard<std::mutex> guard(lock_);
    return set_;
}

int ManualResetEvent::WaitOne(std::int32_t timeoutMs) {
    Helper::Clock& clock = Helper::CurrentClock();
    std::unique_lock<std::mutex> lock(lock_);
    if (set_) return 0;
    if (timeoutMs <= 0) return 1;
    const std::int64_t deadline = clock.NowMs() + timeoutMs;
    return clock.WaitUntil(cv_, lock, deadline, [this] { return set_; }) ? 0 : 1;
}

int ManualResetEvent::WaitUntil(std::int64_t deadlineTicks) {
    Helper::Clock& clock = Helper::CurrentClock();
    std::unique_lock<std::mutex> lock(lock_);
    if (set_) return 0;
    if (clock.NowMs() >= deadlineTicks) return 1;
    return clock.WaitUntil(cv_, lock, deadlineTicks, [this] { return set_; }) ? 0 : 1;
}

}  // namespace PlatformServices
