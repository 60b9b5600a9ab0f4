#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "CoreFixture.h"
#include "common/CyclicSchedule.h"

using CustomApplication::kNothingScheduled;
using CustomApplication::TEST_ServiceWait;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using testsupport::CoreFixture;
using testsupport::TestPlatform;

namespace {

TEST(ServiceWait, SmallestNonNegativeResultUpTo200) {
    const std::int64_t none = kNothingScheduled;
    EXPECT_EQ(TEST_ServiceWait(none, none, none), 200);
    EXPECT_EQ(TEST_ServiceWait(none, 5, none), 5);
    EXPECT_EQ(TEST_ServiceWait(none, 5, 3), 3);
    EXPECT_EQ(TEST_ServiceWait(0, none, none), 0);
    EXPECT_EQ(TEST_ServiceWait(-1, none, none), 200);
    EXPECT_EQ(TEST_ServiceWait(-1, -7, 9), 9);
    EXPECT_EQ(TEST_ServiceWait(none, 250, 1000), 200);
    // Only the low 32 bits count: 2^32 + 5 waits 5, 2^31 reads as negative.
    EXPECT_EQ(TEST_ServiceWait((std::int64_t{1} << 32) + 5, none, none), 5);
    EXPECT_EQ(TEST_ServiceWait(std::int64_t{1} << 31, none, none), 200);
}

class ServiceLoop : public CoreFixture {};

TEST_F(ServiceLoop, WaitsTheFull200MsPerPassWhenNothingIsScheduled) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(clock.AwaitWaits(1));
    clock.Advance(199);
    // Still the first wait: 199 ms did not end it.
    EXPECT_EQ(clock.WaitsBegun().size(), 1u);
    clock.Advance(1);
    ASSERT_TRUE(clock.AwaitWaits(2));
    clock.Advance(200);
    ASSERT_TRUE(clock.AwaitWaits(3));
    const auto waits = clock.WaitsBegun();
    EXPECT_EQ(waits[0], 200);
    EXPECT_EQ(waits[1], 200);
    EXPECT_EQ(waits[2], 200);
}

TEST_F(ServiceLoop, AWakeUpLateByAFewTicksWaitsOnlyUntilTheNextDueTick) {
    // The fake tick at which the platform received each cyclic frame: the
    // clock stands still until the test has seen the frame.
    std::mutex sentLock;
    std::condition_variable sent;
    std::vector<std::int64_t> sentAt;
    platform.SetObserver([&](const TestPlatform::Message& message) {
        if (message.category != 10 || message.children.empty() || message.children[0].command != 4) return;
        std::lock_guard<std::mutex> guard(sentLock);
        sentAt.push_back(clock.NowMs());
        sent.notify_all();
    });
    const auto awaitSends = [&](std::size_t count) {
        std::unique_lock<std::mutex> guard(sentLock);
        return sent.wait_for(guard, std::chrono::seconds(10), [&] { return sentAt.size() >= count; });
    };
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(clock.AwaitWaits(1));
    unsigned char payload[1] = {7};
    CANTransmitTableEntry row[1] = {{payload, 1, 0x100, CustomApplication::CANTypes::Standard, 10}};
    CANReceiveTableEntry none[1] = {};
    ASSERT_GT(sdk.CANInit(CustomApplication::CoreTypes::CANBus(0), none, 0, row, 1), 0);
    const std::int64_t start = clock.NowMs();

    // The row goes out on the next pass; every later pass wakes 3 ticks
    // after the row was due (the machine was busy), and the wait after it
    // still ends on the next multiple of the period: the row keeps its phase.
    clock.Advance(200);
    for (std::size_t sends = 1; sends <= 4; ++sends) {
        ASSERT_TRUE(awaitSends(sends));
        ASSERT_TRUE(clock.AwaitWaits(sends + 1));
        clock.Advance(sends == 1 ? 13 : 10);
    }
    ASSERT_TRUE(awaitSends(5));
    {
        std::lock_guard<std::mutex> guard(sentLock);
        EXPECT_EQ(sentAt, (std::vector<std::int64_t>{start + 200, start + 213, start + 223, start + 233, start + 243}));
    }
    const auto waits = clock.WaitsBegun();
    ASSERT_GE(waits.size(), 5u);
    EXPECT_EQ(std::vector<std::int64_t>(waits.begin() + 1, waits.begin() + 5), (std::vector<std::int64_t>{10, 7, 7, 7}));
}

TEST_F(ServiceLoop, ShutdownEndsAWaitAtOnce) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(clock.AwaitWaits(1));
    // The fake clock never moves: only the wake event can end the wait, and
    // Shutdown joins the service thread before it returns.
    sdk.Shutdown();
    EXPECT_EQ(clock.WaitsBegun().size(), 1u);
}

}  // namespace
