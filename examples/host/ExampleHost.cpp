#include "ExampleHost.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "Output.h"

namespace examples {

using CustomApplication::CoreTypes::TaskFunction;

namespace {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ExampleHost::ExampleHost(std::int32_t pluginId) : pluginId_(pluginId) {
    table_.hostContext = this;
    table_.taskContext = this;
    table_.notifyAppShutdown = [](void*) { Say("[host] the application announced its shutdown"); };
    table_.setVersionInfo = [](void*, std::int32_t major, std::int32_t minor, std::int32_t revision,
                               std::int32_t build) {
        Say("[host] application version %d.%d.%d.%d", major, minor, revision, build);
    };
    table_.messageDispatchBegin = [](void* c) {
        std::lock_guard<std::mutex> guard(Self(c)->lock_);
        ++Self(c)->dispatched_;
    };
    table_.messageDispatchEnd = [](void*) {};
    table_.getPluginId = [](void* c) { return Self(c)->pluginId_; };
    table_.taskScheduleAt = [](void* c, TaskFunction f, void* a, std::int64_t time) {
        return Self(c)->Schedule(f, a, time, 0);
    };
    table_.taskScheduleEvery = [](void* c, TaskFunction f, void* a, std::int64_t period) {
        if (period <= 0) return -22;
        return Self(c)->Schedule(f, a, NowMs() + period, period);
    };
    table_.taskScheduleAsync = [](void* c, TaskFunction f, void* a) { return Self(c)->RunAsync(f, a); };
    table_.taskCancel = [](void* c, std::int32_t id) { Self(c)->Cancel(id); };
    table_.taskCheckInAsync = [](void* c, std::int32_t id) { Self(c)->CheckIn(id); };
    table_.taskDisableWatchdogAsync = [](void* c, std::int32_t id) { Self(c)->DisableWatchdog(id); };
    scheduler_ = std::thread([this] { RunScheduler(); });
}

ExampleHost::~ExampleHost() { Stop(); }

std::uint64_t ExampleHost::Dispatched() const {
    std::lock_guard<std::mutex> guard(lock_);
    return dispatched_;
}

void ExampleHost::Stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        tasks_.clear();
        threads.swap(asyncThreads_);
    }
    changed_.notify_all();
    if (scheduler_.joinable()) scheduler_.join();
    for (std::thread& t : threads) t.join();
}

std::int32_t ExampleHost::Schedule(TaskFunction function, void* argument, std::int64_t dueMs, std::int64_t periodMs) {
    if (function == nullptr) return -22;
    std::int32_t id;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) return -1;
        id = nextId_++;
        Task task;
        task.function = function;
        task.argument = argument;
        task.dueMs = dueMs;
        task.periodMs = periodMs;
        tasks_.emplace(id, task);
    }
    changed_.notify_all();
    return id;
}

std::int32_t ExampleHost::RunAsync(TaskFunction function, void* argument) {
    if (function == nullptr) return -22;
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return -1;
    const std::int32_t id = nextId_++;
    asyncThreads_.emplace_back([function, argument, id] { function(argument, id); });
    return id;
}

void ExampleHost::Cancel(std::int32_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    tasks_.erase(id);
}

void ExampleHost::CheckIn(std::int32_t id) {
    const std::int64_t now = NowMs();
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = tasks_.find(id);
        if (found == tasks_.end()) return;
        found->second.lastCheckInMs = now;
        found->second.reportedSilent = false;
    }
    Say("[host] watchdog: task %d checked in", id);
}

void ExampleHost::DisableWatchdog(std::int32_t id) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = tasks_.find(id);
        if (found == tasks_.end()) return;
        found->second.watchdog = false;
    }
    Say("[host] watchdog: off for task %d", id);
}

std::vector<std::int32_t> ExampleHost::SilentTasks(std::int64_t nowMs) {
    std::vector<std::int32_t> silent;
    for (auto& [id, task] : tasks_) {
        if (!task.watchdog || task.periodMs <= 0 || task.lastCheckInMs < 0 || task.reportedSilent) continue;
        if (nowMs - task.lastCheckInMs > 3 * task.periodMs) {
            task.reportedSilent = true;
            silent.push_back(id);
        }
    }
    return silent;
}

void ExampleHost::RunScheduler() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_) {
        const std::int64_t now = NowMs();
        const std::vector<std::int32_t> silent = SilentTasks(now);
        if (!silent.empty()) {
            // Printed without the lock: the output has a lock of its own.
            guard.unlock();
            for (std::int32_t id : silent) Say("[host] watchdog: task %d missed three check-ins", id);
            guard.lock();
            continue;
        }
        // The earliest task that is due, if any.
        auto next = tasks_.end();
        for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
            if (next == tasks_.end() || it->second.dueMs < next->second.dueMs) next = it;
        }
        if (next == tasks_.end()) {
            changed_.wait_for(guard, std::chrono::milliseconds(100));
            continue;
        }
        if (next->second.dueMs > now) {
            const std::int64_t wait = std::min<std::int64_t>(next->second.dueMs - now, 100);
            changed_.wait_for(guard, std::chrono::milliseconds(wait));
            continue;
        }
        const std::int32_t id = next->first;
        const Task task = next->second;
        if (task.periodMs > 0) {
            next->second.dueMs += task.periodMs;
            if (next->second.dueMs <= now) next->second.dueMs = now + task.periodMs;  // do not run to catch up
        } else {
            tasks_.erase(next);
        }
        // The task runs without the lock: it may schedule, cancel or check in.
        guard.unlock();
        task.function(task.argument, id);
        guard.lock();
    }
}

}  // namespace examples
