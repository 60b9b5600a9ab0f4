// The figures of the bus report: timing per identifier from a log, and the
// reduction of long series for drawing.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "LogSummary.h"

namespace gatewaysim {
namespace report {
namespace {

TEST(ReportSummary, TimingPerIdentifierFromALog) {
    std::ostringstream log;
    // 123 on can0 every 10 ms, once 8 ms late: period 10, p99 off by 8 ms,
    // drifting at 10 %. 18FEF100 on can1 every 100 ms exactly.
    for (int i = 0; i < 101; ++i) {
        const long us = 1'000'000 + i * 10'000 + (i == 50 ? 8'000 : 0);
        log << "(" << us / 1'000'000 << "."
            << std::string(6 - std::to_string(us % 1'000'000).size(), '0') << us % 1'000'000
            << ") can0 123#0102\n";
    }
    for (int i = 0; i < 10; ++i) log << "(2." << i << "00000) can1 18FEF100#11\n";
    log << "(2.5) j1708 80#01\nnot a frame\n# a comment\n";
    std::istringstream in(log.str());
    const LogSummary summary = SummariseLog(in, SummaryOptions());

    EXPECT_EQ(summary.lines, 112u);
    EXPECT_EQ(summary.unreadable, 1u);
    EXPECT_EQ(summary.frames[0], 101u);
    EXPECT_EQ(summary.frames[1], 10u);
    EXPECT_EQ(summary.frames[kJ1708Bus], 1u);
    EXPECT_EQ(summary.firstUs, 1'000'000);
    EXPECT_EQ(summary.lastUs, 2'900'000);
    ASSERT_EQ(summary.identifiers.size(), 3u);
    const IdentifierTiming& cyclic = summary.identifiers[0];
    EXPECT_EQ(cyclic.id, 0x123u);
    EXPECT_EQ(cyclic.count, 101u);
    EXPECT_EQ(cyclic.periodUs, 10'000);
    EXPECT_EQ(cyclic.jitterP50Us, 0);
    EXPECT_EQ(cyclic.jitterP99Us, 8'000);
    EXPECT_EQ(cyclic.longestGapUs, 18'000);
    EXPECT_TRUE(cyclic.drifting);
    std::uint64_t intervals = 0;
    for (const std::uint64_t count : cyclic.histogram) intervals += count;
    EXPECT_EQ(intervals, 100u);
    const IdentifierTiming& exact = summary.identifiers[1];
    EXPECT_TRUE(exact.extended);
    EXPECT_EQ(exact.periodUs, 100'000);
    EXPECT_FALSE(exact.drifting);
    // Bins of 100 ms from the first frame's to the last frame's.
    EXPECT_GT(summary.peakLoad[0], 0.0);
    EXPECT_EQ(summary.loadBins, 20);
}

TEST(ReportSummary, ReductionKeepsEveryExtreme) {
    // 100,000 bins, all 5 but a spike and a gap with nothing.
    std::vector<std::pair<std::int64_t, double>> values;
    for (std::int64_t i = 0; i < 100'000; ++i) {
        if (i >= 40'000 && i < 40'100) continue;
        values.emplace_back(i, i == 77'777 ? 90.0 : 5.0);
    }
    const ReducedSeries reduced = ReduceSparse({values}, 100'000, 0.1, 1000);
    ASSERT_EQ(reduced.x.size(), 2000u);
    ASSERT_EQ(reduced.y.size(), 1u);
    EXPECT_EQ(*std::max_element(reduced.y[0].begin(), reduced.y[0].end()), 90.0);
    EXPECT_EQ(*std::min_element(reduced.y[0].begin(), reduced.y[0].end()), 0.0);
    // A bucket that is all 5 draws 5 to 5.
    EXPECT_EQ(reduced.y[0][0], 5.0);
    EXPECT_EQ(reduced.y[0][1], 5.0);
    EXPECT_TRUE(std::is_sorted(reduced.x.begin(), reduced.x.end()));
    EXPECT_DOUBLE_EQ(reduced.x.back(), 99'950 * 0.1);

    // Short series are drawn whole.
    const ReducedSeries whole = ReduceSparse({{{1, 2.0}}}, 3, 0.1, 1000);
    EXPECT_EQ(whole.y[0], (std::vector<double>{0.0, 2.0, 0.0}));
}

}  // namespace
}  // namespace report
}  // namespace gatewaysim
