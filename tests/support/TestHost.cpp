#include "TestHost.h"

#include <chrono>
#include <utility>

namespace testsupport {

TestHost::TestHost() {
    table_.hostContext = this;
    table_.taskContext = this;
    table_.notifyAppShutdown = [](void* c) { Self(c)->Add("shutdown"); };
    table_.setVersionInfo = [](void* c, std::int32_t a, std::int32_t b, std::int32_t d, std::int32_t e) {
        Self(c)->Add("version " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(d) + " " +
                     std::to_string(e));
    };
    table_.messageDispatchBegin = [](void* c) {
        Self(c)->Add("begin");
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> guard(Self(c)->lock_);
            action = Self(c)->onBegin_;
        }
        if (action) action();
    };
    table_.messageDispatchEnd = [](void* c) { Self(c)->Add("end"); };
    table_.getPluginId = [](void* c) { return Self(c)->pluginId; };
    table_.taskScheduleAt = [](void* c, CustomApplication::CoreTypes::TaskFunction, void*, std::int64_t time) {
        Self(c)->Add("at " + std::to_string(time));
        return Self(c)->scheduleResult;
    };
    table_.taskScheduleEvery = [](void* c, CustomApplication::CoreTypes::TaskFunction, void*, std::int64_t period) {
        Self(c)->Add("every " + std::to_string(period));
        return Self(c)->scheduleResult;
    };
    table_.taskScheduleAsync = [](void* c, CustomApplication::CoreTypes::TaskFunction, void*) {
        Self(c)->Add("async");
        return Self(c)->scheduleResult;
    };
    table_.taskCancel = [](void* c, std::int32_t id) { Self(c)->Add("cancel " + std::to_string(id)); };
    table_.taskCheckInAsync = [](void* c, std::int32_t id) { Self(c)->Add("checkin " + std::to_string(id)); };
    table_.taskDisableWatchdogAsync = [](void* c, std::int32_t id) {
        Self(c)->Add("nowatchdog " + std::to_string(id));
    };
}

void TestHost::Add(std::string event) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        events_.push_back(std::move(event));
    }
    changed_.notify_all();
}

std::vector<std::string> TestHost::Events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
}

bool TestHost::AwaitEvents(std::size_t count, int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] { return events_.size() >= count; });
}

void TestHost::OnDispatchBegin(std::function<void()> action) {
    std::lock_guard<std::mutex> guard(lock_);
    onBegin_ = std::move(action);
}

}  // namespace testsupport
