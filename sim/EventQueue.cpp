#include "EventQueue.h"

#include <algorithm>
#include <chrono>

namespace gatewaysim {

bool EventQueue::Push(Event event) {
    bool wake = false;
    {
        std::unique_lock<std::mutex> guard(lock_);
        notFull_.wait(guard, [&] { return closed_ || events_.size() < capacity_; });
        if (closed_) return false;
        events_.push_back(std::move(event));
        if (events_.size() >= wakeAt_) notEmpty_.notify_one();
        wake = armed_;
        armed_ = false;
    }
    if (wake && wake_) wake_();
    return true;
}

bool EventQueue::ArmWake() {
    std::lock_guard<std::mutex> guard(lock_);
    armed_ = !closed_ && events_.empty();
    return armed_;
}

void EventQueue::DisarmWake() {
    std::lock_guard<std::mutex> guard(lock_);
    armed_ = false;
}

bool EventQueue::PopAll(std::vector<Event>* events, std::int64_t waitUs, bool gather) {
    std::unique_lock<std::mutex> guard(lock_);
    wakeAt_ = gather && waitUs >= 0 ? std::max<std::size_t>(1, capacity_ / 2) : 1;
    const auto ready = [&] { return closed_ || events_.size() >= wakeAt_; };
    if (waitUs < 0) {
        notEmpty_.wait(guard, ready);
    } else {
        notEmpty_.wait_for(guard, std::chrono::microseconds(waitUs), ready);
    }
    wakeAt_ = 1;
    if (closed_) return false;
    if (events_.empty()) return true;
    for (Event& event : events_) events->push_back(std::move(event));
    events_.clear();
    notFull_.notify_all();
    return true;
}

void EventQueue::Close() {
    std::deque<Event> discarded;
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        armed_ = false;
        discarded.swap(events_);
    }
    notEmpty_.notify_all();
    notFull_.notify_all();
    if (wake_) wake_();
    // Discarded outside the lock: a task's destructor may release a waiter.
}

}  // namespace gatewaysim
