// Thread rule: construct and destroy from one thread; the table's entries may
// be called from any thread. Scheduled tasks run on the host's scheduler
// thread, asynchronous tasks on a thread each.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <customapp/CoreTypes.h>

namespace examples {

// Stands in for the process that hosts an application on the gateway: it
// fills the CoreTypes::ServiceProviders table that TarvexInterface::Init
// copies. Tasks are scheduled on the tick counter's time base (milliseconds
// of the monotonic clock, as GetTicks reports them); a task gets its own id
// as its value. Watchdog check-ins are printed; a periodic task that checked
// in once and then stays silent for three periods is reported.
class ExampleHost {
public:
    explicit ExampleHost(std::int32_t pluginId = 0);
    // Cancels every task and joins the host's threads.
    ~ExampleHost();
    ExampleHost(const ExampleHost&) = delete;
    ExampleHost& operator=(const ExampleHost&) = delete;

    CustomApplication::CoreTypes::ServiceProviders* Table() { return &table_; }
    // Messages the library dispatched (counted by the dispatch hooks).
    std::uint64_t Dispatched() const;
    // Cancels every task and joins the threads; idempotent.
    void Stop();

private:
    struct Task {
        CustomApplication::CoreTypes::TaskFunction function = nullptr;
        void* argument = nullptr;
        std::int64_t dueMs = 0;
        std::int64_t periodMs = 0;  // 0: once
        bool watchdog = true;
        std::int64_t lastCheckInMs = -1;  // -1: never checked in
        bool reportedSilent = false;
    };

    static ExampleHost* Self(void* context) { return static_cast<ExampleHost*>(context); }
    std::int32_t Schedule(CustomApplication::CoreTypes::TaskFunction function, void* argument, std::int64_t dueMs,
                          std::int64_t periodMs);
    std::int32_t RunAsync(CustomApplication::CoreTypes::TaskFunction function, void* argument);
    void Cancel(std::int32_t id);
    void CheckIn(std::int32_t id);
    void DisableWatchdog(std::int32_t id);
    void RunScheduler();
    // Periodic tasks that checked in once and then missed three periods;
    // each is reported once until it checks in again. Called with lock_ held.
    std::vector<std::int32_t> SilentTasks(std::int64_t nowMs);

    CustomApplication::CoreTypes::ServiceProviders table_{};
    const std::int32_t pluginId_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::map<std::int32_t, Task> tasks_;
    std::int32_t nextId_ = 1;
    bool stopping_ = false;
    std::uint64_t dispatched_ = 0;
    std::vector<std::thread> asyncThreads_;
    std::thread scheduler_;
};

}  // namespace examples
