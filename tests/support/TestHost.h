// Thread rule: every member may be called from any thread; the table's
// entries record on whichever thread the library calls them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <customapp/CoreTypes.h>

namespace testsupport {

// A host process's service table whose every entry records its call as a
// line of text ("begin", "end", "at 42", "version 1 2 3 4", ...).
class TestHost {
public:
    TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    CustomApplication::CoreTypes::ServiceProviders* Table() { return &table_; }

    std::vector<std::string> Events() const;
    bool AwaitEvents(std::size_t count, int realTimeoutMs = 10'000) const;

    // Optional actions run inside the dispatch hooks (on the listener thread).
    void OnDispatchBegin(std::function<void()> action);

    // What the scheduling entries and getPluginId return.
    std::int32_t scheduleResult = 7;
    std::int32_t pluginId = 0x1234;

private:
    static TestHost* Self(void* context) { return static_cast<TestHost*>(context); }
    void Add(std::string event);

    CustomApplication::CoreTypes::ServiceProviders table_{};
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
    std::function<void()> onBegin_;
};

}  // namespace testsupport
