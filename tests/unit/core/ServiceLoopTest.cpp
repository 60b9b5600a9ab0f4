#include <gtest/gtest.h>

#include "CoreFixture.h"
#include "common/CyclicSchedule.h"

using CustomApplication::kNothingScheduled;
using CustomApplication::TEST_ServiceWait;
using testsupport::CoreFixture;

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
    // Ticks that passed during the pass are taken off the wait.
    EXPECT_EQ(TEST_ServiceWait(none, 5, 3, 1), 2);
    EXPECT_EQ(TEST_ServiceWait(none, 5, 3, 4), 0);
    EXPECT_EQ(TEST_ServiceWait(none, none, none, 2), 198);
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

TEST_F(ServiceLoop, ShutdownEndsAWaitAtOnce) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(clock.AwaitWaits(1));
    // The fake clock never moves: only the wake event can end the wait, and
    // Shutdown joins the service thread before it returns.
    sdk.Shutdown();
    EXPECT_EQ(clock.WaitsBegun().size(), 1u);
}

}  // namespace
