// Thread rule: Run may be called from any thread; the destructor from the
// owner's thread, never from a task.
#pragma once

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace gatewaysim {

// A thread of its own that runs slow work (file I/O) in the order it was
// handed over, so that the worker thread, and with it the buses, never waits
// for a disk.
class BackgroundQueue {
public:
    BackgroundQueue() : thread_([this] { Loop(); }) {}
    // Runs what was handed over, then ends the thread.
    ~BackgroundQueue() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    BackgroundQueue(const BackgroundQueue&) = delete;
    BackgroundQueue& operator=(const BackgroundQueue&) = delete;

    void Run(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
    }

private:
    void Loop() {
        // Behind the worker for the processor too: a disk's worth of copying
        // must not take a core from the buses (Linux gives each thread its
        // own nice value).
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kNice);
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> guard(lock_);
                wake_.wait(guard, [this] { return stopping_ || !tasks_.empty(); });
                if (tasks_.empty()) return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

    static constexpr int kNice = 19;

    std::mutex lock_;  // guards tasks_ and stopping_
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;  // last: started once the rest is in place
};

}  // namespace gatewaysim
