#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "CoreFixture.h"

using testsupport::CoreFixture;

namespace {

class HostServices : public CoreFixture {
protected:
    void SetUp() override { ASSERT_EQ(InitApp(), 0); }
};

void NoTask(void*, std::int32_t) {}

TEST_F(HostServices, ForwardToTheHostTableUnchanged) {
    host.scheduleResult = -5;
    EXPECT_EQ(sdk.TaskScheduleAt(&NoTask, nullptr, std::int64_t{1} << 40), -5);
    host.scheduleResult = 11;
    EXPECT_EQ(sdk.TaskScheduleEvery(&NoTask, nullptr, -250), 11);
    EXPECT_EQ(sdk.TaskScheduleAsync(&NoTask, nullptr), 11);
    sdk.TaskCancel(3);
    sdk.TaskCheckInAsync(-4);
    sdk.TaskDisableWatchdogAsync(5);
    sdk.SetVersionInfo(1, 2, 3, 4);
    sdk.NotifyAppShutdown();
    EXPECT_EQ(host.Events(),
              (std::vector<std::string>{"at 1099511627776", "every -250", "async", "cancel 3", "checkin -4",
                                        "nowatchdog 5", "version 1 2 3 4", "shutdown"}));
}

TEST_F(HostServices, TheHostTableIsCopiedAtInit) {
    // Entries changed after Init are not seen: the library keeps its copy.
    host.Table()->taskScheduleAsync = nullptr;
    EXPECT_EQ(sdk.TaskScheduleAsync(&NoTask, nullptr), 7);
}

TEST_F(HostServices, TicksComeFromThePlatformClock) {
    const std::int64_t before = sdk.GetTicks();
    clock.Advance(1234);
    EXPECT_EQ(sdk.GetTicks() - before, 1234);
}

TEST_F(HostServices, SemaphoreStaysSetUntilReset) {
    void* semaphore = sdk.SemaphoreCreate();
    ASSERT_NE(semaphore, nullptr);
    sdk.SemaphoreSet(semaphore);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sdk.SemaphoreWait(semaphore, 1000), 0);
    sdk.SemaphoreReset(semaphore);
    EXPECT_EQ(sdk.SemaphoreWait(semaphore, 0), -110);
    sdk.SemaphoreFree(semaphore);
}

TEST_F(HostServices, SemaphoreWaitTimesOutOnTheClock) {
    void* semaphore = sdk.SemaphoreCreate();
    std::int32_t result = 1;
    std::thread waiter([&] { result = sdk.SemaphoreWait(semaphore, 50); });
    // The service loop's wait is the first; the semaphore's the second.
    ASSERT_TRUE(clock.AwaitWaits(2, 2));
    const auto waits = clock.WaitsBegun();
    EXPECT_NE(std::find(waits.begin(), waits.end(), 50), waits.end());
    clock.Advance(49);
    clock.Advance(1);
    waiter.join();
    EXPECT_EQ(result, -110);
    sdk.SemaphoreFree(semaphore);
}

TEST_F(HostServices, OneSetReleasesEveryWaiterOnAnotherThread) {
    void* semaphore = sdk.SemaphoreCreate();
    std::int32_t results[3] = {1, 1, 1};
    std::vector<std::thread> waiters;
    for (auto& result : results) waiters.emplace_back([&] { result = sdk.SemaphoreWait(semaphore, 100000); });
    ASSERT_TRUE(clock.AwaitWaits(4, 4));  // three waiters and the service loop
    std::thread setter([&] { sdk.SemaphoreSet(semaphore); });
    setter.join();
    for (auto& waiter : waiters) waiter.join();
    for (auto result : results) EXPECT_EQ(result, 0);
    sdk.SemaphoreFree(semaphore);
}

TEST_F(HostServices, NullSemaphoreHandles) {
    EXPECT_EQ(sdk.SemaphoreWait(nullptr, 10), -22);
    sdk.SemaphoreSet(nullptr);
    sdk.SemaphoreReset(nullptr);
    sdk.SemaphoreFree(nullptr);
    EXPECT_TRUE(clock.WaitsBegun().size() <= 1u);  // only the service loop waits
}

TEST_F(HostServices, StringSplitKeepsEmptyPieces) {
    std::vector<std::string> parts{"stale"};
    EXPECT_EQ(sdk.StringSplit("a,,b,", parts, ','), 4);
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "", "b", ""}));
}

}  // namespace
