// Thread rule: Push, Pop and Close may be called from any threads at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace gatewaysim {

// What the simulator's worker thread is asked to do: a task from another
// thread (an operator command, a replayed frame, a frame of a CAN tool).
using Event = std::function<void()>;

// A bounded queue of events with many producers and one consumer. A
// producer waits while the queue is full, so that a flood from one source
// slows that source down instead of growing without bound.
class EventQueue {
public:
    // `wake` (optional) ends a wait of the consumer elsewhere (see ArmWake);
    // it is called with no lock held, from the producer's thread.
    explicit EventQueue(std::size_t capacity, std::function<void()> wake = nullptr)
        : capacity_(capacity), wake_(std::move(wake)) {}

    // False (and the event is discarded) once the queue is closed.
    bool Push(Event event);
    // Waits for events, at most `waitUs` microseconds (negative: until one
    // comes), and moves every queued one to the end of `events` in their
    // order (none when the wait ran out). With `gather` it waits the whole
    // time unless the queue fills to half, so that a busy consumer wakes once
    // per wait instead of once per event. False once the queue is closed
    // (events still queued then are discarded).
    bool PopAll(std::vector<Event>* events, std::int64_t waitUs, bool gather = false);
    // For a consumer that waits for other things too: true when the queue is
    // empty, and then the next push (or Close) calls `wake` once; false when
    // events wait (no wait needed). DisarmWake ends it after the wait.
    bool ArmWake();
    void DisarmWake();
    // Ends every wait; later pushes fail.
    void Close();

private:
    const std::size_t capacity_;
    std::mutex lock_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    std::deque<Event> events_;
    const std::function<void()> wake_;
    std::size_t wakeAt_ = 1;  // a push that makes this many events wakes the consumer
    bool armed_ = false;      // the consumer waits elsewhere: the next push calls wake_
    bool closed_ = false;
};

}  // namespace gatewaysim
