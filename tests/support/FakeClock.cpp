#include "FakeClock.h"

#include <chrono>

namespace testsupport {

FakeClock::FakeClock(std::int64_t startMs) : now_(startMs) {}

FakeClock::~FakeClock() = default;

std::int64_t FakeClock::NowMs() { return now_.load(); }

// The caller's mutex and this clock's lock are never held together by a
// waiter: registration happens with the caller's mutex released. Advance takes
// this clock's lock, then each waiter's mutex in turn, so a waiter between its
// deadline test and its wait cannot miss the wake-up.
bool FakeClock::WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                          std::int64_t deadlineMs, const std::function<bool()>& ready) {
    lock.unlock();
    std::list<Waiter>::iterator self;
    {
        std::lock_guard<std::mutex> guard(lock_);
        waits_.push_back(deadlineMs - now_.load());
        self = waiters_.insert(waiters_.end(), Waiter{&cv, lock.mutex()});
    }
    changed_.notify_all();
    lock.lock();
    while (!ready() && NowMs() < deadlineMs) cv.wait(lock);
    const bool result = ready();
    lock.unlock();
    {
        std::lock_guard<std::mutex> guard(lock_);
        waiters_.erase(self);
    }
    changed_.notify_all();
    lock.lock();
    return result || ready();
}

void FakeClock::Advance(std::int64_t ms) {
    now_ += ms;
    std::lock_guard<std::mutex> guard(lock_);
    for (const Waiter& waiter : waiters_) {
        std::lock_guard<std::mutex> waiterGuard(*waiter.mutex);
        waiter.cv->notify_all();
    }
}

std::vector<std::int64_t> FakeClock::WaitsBegun() const {
    std::lock_guard<std::mutex> guard(lock_);
    return waits_;
}

bool FakeClock::AwaitWaits(std::size_t count, std::size_t waiting, int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(realTimeoutMs),
                             [&] { return waits_.size() >= count && waiters_.size() >= waiting; });
}

}  // namespace testsupport
