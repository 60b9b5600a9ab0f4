#include "EventQueue.h"

namespace gatewaysim {

bool EventQueue::Push(Event event) {
    std::unique_lock<std::mutex> guard(lock_);
    notFull_.wait(guard, [&] { return closed_ || events_.size() < capacity_; });
    if (closed_) return false;
    events_.push_back(std::move(event));
    notEmpty_.notify_one();
    return true;
}

bool EventQueue::Pop(Event* event) {
    return PopFor(event, -1) == Popped::kEvent;
}

EventQueue::Popped EventQueue::PopFor(Event* event, std::int64_t timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    const auto ready = [&] { return closed_ || !events_.empty(); };
    if (timeoutMs < 0) {
        notEmpty_.wait(guard, ready);
    } else if (!notEmpty_.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready)) {
        return Popped::kTimeout;
    }
    if (closed_) return Popped::kClosed;
    *event = std::move(events_.front());
    events_.pop_front();
    notFull_.notify_one();
    return Popped::kEvent;
}

void EventQueue::Close() {
    std::deque<Event> discarded;
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        discarded.swap(events_);
    }
    notEmpty_.notify_all();
    notFull_.notify_all();
    // Discarded outside the lock: a task's destructor may release a waiter.
}

}  // namespace gatewaysim
