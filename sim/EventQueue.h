// Thread rule: Push, Pop and Close may be called from any threads at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "QRVMessage.h"

namespace gatewaysim {

// What the simulator's worker thread is asked to do.
struct Event {
    enum class Kind { kMessage, kJoined, kGone, kTask };
    Kind kind = Kind::kTask;
    std::int32_t address = 0;                                // kMessage, kJoined, kGone
    std::unique_ptr<PlatformServices::QRVMessage> message;   // kMessage
    std::function<void()> task;                              // kTask
};

// A bounded queue of events with many producers and one consumer. A
// producer waits while the queue is full, so that a flood from one source
// slows that source down instead of growing without bound.
class EventQueue {
public:
    explicit EventQueue(std::size_t capacity) : capacity_(capacity) {}

    // False (and the event is discarded) once the queue is closed.
    bool Push(Event event);
    // Waits for events, at most `waitUs` microseconds (negative: until one
    // comes), and moves every queued one to the end of `events` in their
    // order (none when the wait ran out). With `gather` it waits the whole
    // time unless the queue fills to half, so that a busy consumer wakes once
    // per wait instead of once per event. False once the queue is closed
    // (events still queued then are discarded).
    bool PopAll(std::vector<Event>* events, std::int64_t waitUs, bool gather = false);
    // Ends every wait; later pushes fail.
    void Close();

private:
    const std::size_t capacity_;
    std::mutex lock_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    std::deque<Event> events_;
    std::size_t wakeAt_ = 1;  // a push that makes this many events wakes the consumer
    bool closed_ = false;
};

}  // namespace gatewaysim
