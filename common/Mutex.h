// Thread rule: a Mutex is shared by the threads it serialises; a MutexLock
// and a CondVar wait belong to the thread that made them.
//
// The standard mutex with the annotations Clang's thread-safety analysis
// needs, a scoped lock over it, and a condition variable that waits on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/ThreadAnnotations.h"

namespace CustomApplication {

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE() { mutex_.lock(); }
    void Unlock() RELEASE() { mutex_.unlock(); }

    // The standard names, for CondVar's waits.
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Holds `mutex` for its own lifetime.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~MutexLock() RELEASE() { mutex_.Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

// Waits release `mutex` while they block and hold it again when they
// return; the caller checks its condition in a loop around them.
class CondVar {
public:
    void Wait(Mutex& mutex) EXCLUSIVE_LOCKS_REQUIRED(mutex) { cond_.wait(mutex); }
    // False once `deadline` passed.
    template <typename Clock, typename Duration>
    bool WaitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline)
        EXCLUSIVE_LOCKS_REQUIRED(mutex) {
        return cond_.wait_until(mutex, deadline) == std::cv_status::no_timeout;
    }
    void NotifyOne() { cond_.notify_one(); }
    void NotifyAll() { cond_.notify_all(); }

private:
    std::condition_variable_any cond_;
};

}  // namespace CustomApplication
