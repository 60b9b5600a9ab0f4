#include <gtest/gtest.h>

#include "bus/BusLoad.h"
#include "bus/TimingChecker.h"

namespace {

using gatewaysim::BusLoad;
using gatewaysim::CanFrame;
using gatewaysim::CanFrameBits;
using gatewaysim::TimingChecker;

constexpr std::int64_t kMs = 1000;

// Feeds frames at the given times (ms); returns the drifts reported.
std::vector<TimingChecker::Drift> Feed(TimingChecker& checker, const std::vector<std::int64_t>& timesMs,
                                       std::uint32_t id = 0x100, std::uint8_t bus = 0) {
    std::vector<TimingChecker::Drift> drifts;
    for (const std::int64_t t : timesMs) {
        TimingChecker::Drift d;
        if (checker.Observe(bus, false, id, t * kMs, &d)) drifts.push_back(d);
    }
    return drifts;
}

TEST(TimingCheckerTest, ReportsIntervalsMoreThanTenPercentOffTheLearntPeriod) {
    TimingChecker checker;
    // Three agreeing intervals make the period; then 109 ms and 91 ms are fine.
    EXPECT_TRUE(Feed(checker, {0, 100, 200, 300, 409, 500}).empty());
    const auto drifts = Feed(checker, {630, 730});
    ASSERT_EQ(drifts.size(), 1u);
    EXPECT_EQ(drifts[0].id, 0x100u);
    EXPECT_EQ(drifts[0].intervalUs, 130 * kMs);
    EXPECT_EQ(drifts[0].periodUs, 100 * kMs);
    EXPECT_NEAR(drifts[0].deviationPercent, 30.0, 0.01);
    // Early frames drift as well.
    const auto early = Feed(checker, {815});
    ASSERT_EQ(early.size(), 1u);
    EXPECT_NEAR(early[0].deviationPercent, -15.0, 0.01);

    const auto entries = checker.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].periodUs, 100 * kMs);
    EXPECT_EQ(entries[0].frames, 9u);
    EXPECT_EQ(entries[0].drifts, 2u);
}

TEST(TimingCheckerTest, IrregularFramesAreNotReportedAndARateChangeIsLearnt) {
    TimingChecker checker;
    EXPECT_TRUE(Feed(checker, {0, 10, 250, 260, 900, 1400, 1410}, 0x200).empty());
    EXPECT_EQ(checker.Entries()[0].periodUs, 0);

    // 100 ms, then the sender switches to 200 ms: three drifts, then quiet.
    EXPECT_TRUE(Feed(checker, {0, 100, 200, 300}).empty());
    EXPECT_EQ(Feed(checker, {500, 700, 900}).size(), 3u);
    EXPECT_TRUE(Feed(checker, {1100, 1300, 1500, 1700, 1900}).empty());
    TimingChecker::Drift d;
    EXPECT_TRUE(checker.Observe(0, false, 0x100, 2200 * kMs, &d));
    EXPECT_EQ(d.periodUs, 200 * kMs);
}

TEST(TimingCheckerTest, FramesAreKeptApartByBusAndFormat) {
    TimingChecker checker;
    for (int i = 0; i < 14; ++i) {
        EXPECT_FALSE(checker.Observe(0, false, 0x100, i * 100 * kMs, nullptr));
        EXPECT_FALSE(checker.Observe(1, false, 0x100, i * 50 * kMs, nullptr));
        EXPECT_FALSE(checker.Observe(0, true, 0x100, i * 20 * kMs, nullptr));
    }
    const auto entries = checker.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].periodUs, 100 * kMs);
    EXPECT_FALSE(entries[0].extended);
    EXPECT_EQ(entries[1].periodUs, 20 * kMs);
    EXPECT_TRUE(entries[1].extended);
    EXPECT_EQ(entries[2].bus, 1);
    EXPECT_EQ(entries[2].periodUs, 50 * kMs);
    // Equal timestamps (a coarse log) tell nothing and report nothing.
    EXPECT_FALSE(checker.Observe(0, false, 0x100, 1300 * kMs, nullptr));
}

// A period is learnt from a settled run only: frames held up and sent back
// to back, or a one-off flood, are no period. Rows that stopped are
// forgotten, and ask nothing of their bus any more.
TEST(TimingCheckerTest, BurstsTeachNoPeriodAndStoppedRowsAreForgotten) {
    TimingChecker checker;
    std::vector<std::int64_t> times;
    for (int i = 0; i <= 5; ++i) times.push_back(i * 100);
    EXPECT_TRUE(Feed(checker, times).empty());
    ASSERT_EQ(checker.Entries()[0].periodUs, 100 * kMs);
    // A stall holds the sender up; 20 frames come 0.5 ms apart, then the
    // period resumes.
    TimingChecker::Drift d;
    std::int64_t t = 3000 * kMs;
    for (int i = 0; i < 20; ++i, t += 500) checker.Observe(0, false, 0x100, t, &d);
    for (int i = 0; i < 10; ++i, t += 100 * kMs) {
        if (checker.Observe(0, false, 0x100, t, &d)) {
            EXPECT_NE(d.periodUs, 500) << i;
        }
    }
    EXPECT_EQ(checker.Entries()[0].periodUs, 100 * kMs);

    // A flood of 300 frames 0.5 ms apart on another identifier, then nothing.
    for (int i = 0; i < 300; ++i, t += 500) checker.Observe(0, true, 0x18FEF100, t, nullptr, 160);
    EXPECT_EQ(checker.Entries().back().periodUs, 0);
    EXPECT_EQ(checker.CyclicBitsPerSecond(0), 0.0);
    // Both rows stop: each is forgotten once it has been quiet long enough.
    EXPECT_EQ(checker.Expire(t), 0u);
    EXPECT_EQ(checker.Expire(t + TimingChecker::kStoppedUs), 1u);  // the cyclic row
    EXPECT_EQ(checker.Entries().size(), 1u);
    EXPECT_EQ(checker.Expire(t + TimingChecker::kIdleUs), 1u);
    EXPECT_TRUE(checker.Entries().empty());
}

TEST(TimingCheckerTest, SendersAreFollowedApartAndForgottenWhenTheyGo) {
    TimingChecker checker(0.05);
    const TimingChecker::Sender first{1, false};
    const TimingChecker::Sender second{2, false};
    // Two senders of one identifier, 30 ms apart, each every 100 ms.
    for (int i = 0; i < 6; ++i) {
        EXPECT_FALSE(checker.Observe(0, false, 0x100, i * 100 * kMs, nullptr, 0, first));
        EXPECT_FALSE(checker.Observe(0, false, 0x100, (i * 100 + 30) * kMs, nullptr, 0, second));
    }
    ASSERT_EQ(checker.Entries().size(), 2u);
    EXPECT_EQ(checker.Entries()[1].sender, 2u);
    // 6 % late is past a 5 % tolerance.
    TimingChecker::Drift d;
    EXPECT_TRUE(checker.Observe(0, false, 0x100, 606 * kMs, &d, 0, first));
    EXPECT_EQ(d.sender, 1u);
    // The first sender restarts 40 s later: no drift, a row learnt anew.
    checker.Forget(1);
    ASSERT_EQ(checker.Entries().size(), 1u);
    EXPECT_FALSE(checker.Observe(0, false, 0x100, 40'606 * kMs, &d, 0, first));

    // A J1939 row held back by its address claim: its first interval is no
    // part of the period it learns.
    const TimingChecker::Sender ca{3, true};
    for (const std::int64_t t : {0, 940, 1940, 2940, 3940})
        EXPECT_FALSE(checker.Observe(1, true, 0x18FEF100, t * kMs, nullptr, 0, ca));
    EXPECT_EQ(checker.Entries().back().periodUs, 1000 * kMs);
}

// A bus's load is the share of the last whole second that frames occupied
// its wire; a frame across the turn of a second counts in both. The
// worst-case bits (what cyclic frames ask for) are canbusload's.
TEST(BusLoadTest, LoadIsTheShareOfTheLastWholeSecondOnTheWire) {
    CanFrame standard;  // 8 bytes: 135 bits
    standard.length = 8;
    CanFrame extended = standard;  // no data: 80 bits
    extended.extended = true;
    extended.length = 0;
    CanFrame remote = standard;  // its length code carries no data: 55 bits
    remote.remote = true;
    EXPECT_EQ(CanFrameBits(standard), 135u);
    EXPECT_EQ(CanFrameBits(extended), 80u);
    EXPECT_EQ(CanFrameBits(remote), 55u);

    BusLoad load;
    load.SetBitrate(1, 500000);
    for (int i = 0; i < 1000; ++i) EXPECT_FALSE(load.Observe(1, 1000 * i, 1000 * i + 270));
    EXPECT_DOUBLE_EQ(load.LoadPercent(1, 999'999), 0.0);      // no whole second yet
    EXPECT_TRUE(load.Observe(1, 999'900, 1'000'100));          // a new second begins inside it
    EXPECT_DOUBLE_EQ(load.LoadPercent(1, 1'500'000), 100.0 * 270'100 / 1'000'000);
    EXPECT_EQ(load.FramesLastSecond(1, 1'500'000), 1000u);     // counted where they ended
    EXPECT_DOUBLE_EQ(load.LoadPercent(1, 2'500'000), 100.0 * 100 / 1'000'000);
    EXPECT_DOUBLE_EQ(load.LoadPercent(1, 3'000'000), 0.0);
    EXPECT_DOUBLE_EQ(load.LoadPercent(0, 1'500'000), 0.0);
}

}  // namespace
