// The scheduling of the worker threads.
#include <pthread.h>
#include <sched.h>

#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

std::int32_t TarvexInterfacePrivate::SetRealTimePriority(std::int32_t priority) {
    if (priority != 0 &&
        (priority < sched_get_priority_min(SCHED_FIFO) || priority > sched_get_priority_max(SCHED_FIFO))) {
        return kInvalidArgument;
    }
    if (!Running()) return kNotAllowed;
    const int policy = priority == 0 ? SCHED_OTHER : SCHED_FIFO;
    sched_param wanted{};
    wanted.sched_priority = priority;

    // Held so that no thread is joined meanwhile (Shutdown joins outside the
    // lock only once it has marked the thread); the calls below never wait.
    MutexLock lock(workerLock);
    if (listenerState != JoinState::Running || serviceState != JoinState::Running) return kNotAllowed;
    // The priority and policy were checked above and both threads run, so
    // the system's one reason left is the process's lack of the right; a
    // thread that has just left its loop for a Shutdown begun meanwhile is
    // reported as that.
    const auto Refused = [this] { return stopRequested.load(std::memory_order_acquire) ? kNotAllowed : kNotPermitted; };
    const pthread_t threads[2] = {connection->listenerThread, connection->serviceThread};
    int previousPolicy[2] = {};
    sched_param previous[2] = {};
    for (int i = 0; i < 2; ++i) {
        if (pthread_getschedparam(threads[i], &previousPolicy[i], &previous[i]) != 0) return Refused();
    }
    for (int i = 0; i < 2; ++i) {
        if (pthread_setschedparam(threads[i], policy, &wanted) == 0) continue;
        // Both or neither: the first goes back to what it had.
        for (int j = 0; j < i; ++j) (void)pthread_setschedparam(threads[j], previousPolicy[j], &previous[j]);
        return Refused();
    }
    return kOk;
}

}  // namespace CustomApplication
