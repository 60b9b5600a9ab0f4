#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "Clock.h"
#include "Helper.h"
#include "ManualResetEvent.h"

namespace {

using PlatformServices::ManualResetEvent;
namespace Helper = PlatformServices::Helper;

// A clock that stands still and records the deadline of each timed wait; the
// wait itself ends at once, as if the deadline had been reached.
class StillClock : public Helper::Clock {
public:
    std::int64_t NowMs() override { return 5'000'000'000LL; }
    bool WaitUntil(std::condition_variable&, std::unique_lock<std::mutex>& lock,
                   std::int64_t deadlineMs, const std::function<bool()>& ready) override {
        EXPECT_TRUE(lock.owns_lock());
        deadlines.push_back(deadlineMs);
        return ready();
    }
    std::vector<std::int64_t> deadlines;
};

TEST(ManualResetEventTest, StaysSetUntilReset) {
    ManualResetEvent event;
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(event.WaitOne(0), 1);
    EXPECT_EQ(event.WaitOne(-5), 1);
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_EQ(event.WaitOne(0), 0);
    EXPECT_EQ(event.WaitOne(100000), 0);  // at once, and it stays set
    EXPECT_EQ(event.WaitOne(100000), 0);
    event.Reset();
    EXPECT_EQ(event.WaitOne(0), 1);

    ManualResetEvent initiallySet(true);
    EXPECT_EQ(initiallySet.WaitOne(0), 0);
}

TEST(ManualResetEventTest, TimesOutOnTheInstalledClock) {
    // Real time: a short wait ends with 1, after about its length.
    ManualResetEvent event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.WaitOne(30), 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(25));
    EXPECT_LT(elapsed, std::chrono::seconds(5));

    // The deadline is taken from the installed clock, as is GetTicks.
    StillClock clock;
    Helper::InstallClock(&clock);
    EXPECT_EQ(Helper::GetTicks(), 5'000'000'000LL);
    EXPECT_EQ(event.WaitOne(250), 1);
    EXPECT_EQ(event.WaitOne(0), 1);  // no timed wait
    // An absolute deadline is kept as given, however late the wait begins;
    // one already reached ends at once.
    EXPECT_EQ(event.WaitUntil(5'000'000'007LL), 1);
    EXPECT_EQ(event.WaitUntil(5'000'000'000LL), 1);
    event.Set();
    EXPECT_EQ(event.WaitUntil(5'000'000'000LL), 0);
    event.Reset();
    Helper::InstallClock(nullptr);
    EXPECT_EQ(clock.deadlines, (std::vector<std::int64_t>{5'000'000'250LL, 5'000'000'007LL}));

    const std::int64_t before = Helper::GetTicks();
    EXPECT_NE(before, 5'000'000'000LL);
    EXPECT_GE(Helper::GetTicks(), before);
}

TEST(ManualResetEventTest, OneSetReleasesEveryWaiter) {
    ManualResetEvent event;
    std::vector<int> results(4, -1);
    std::vector<std::thread> waiters;
    for (std::size_t i = 0; i < results.size(); ++i) {
        waiters.emplace_back([&, i] { results[i] = event.WaitOne(60000); });
    }
    event.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(results, std::vector<int>(4, 0));
}

TEST(HelperTest, IntToArrayQuickWritesTheLowBytesInEitherOrder) {
    std::uint8_t buffer[9];
    auto bytes = [&](int n) { return std::vector<std::uint8_t>(buffer, buffer + n); };
    const std::int64_t value = 0x1122334455667788LL;

    EXPECT_EQ(Helper::IntToArrayQuick(buffer, value, 64, 1), 8);
    EXPECT_EQ(bytes(8),
              (std::vector<std::uint8_t>{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(Helper::IntToArrayQuick(buffer, value, 64, 0), 8);
    EXPECT_EQ(bytes(8),
              (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    EXPECT_EQ(Helper::IntToArrayQuick(buffer, value, 24, 1), 3);
    EXPECT_EQ(bytes(3), (std::vector<std::uint8_t>{0x88, 0x77, 0x66}));
    EXPECT_EQ(Helper::IntToArrayQuick(buffer, value, 24, 2), 3);  // anything but 1: big-endian
    EXPECT_EQ(bytes(3), (std::vector<std::uint8_t>{0x66, 0x77, 0x88}));
    EXPECT_EQ(Helper::IntToArrayQuick(buffer, -2, 16, 1), 2);
    EXPECT_EQ(bytes(2), (std::vector<std::uint8_t>{0xFE, 0xFF}));

    for (int width : {0, -8, 4, 12, 63, 72}) {
        buffer[0] = 0xA5;
        EXPECT_EQ(Helper::IntToArrayQuick(buffer, value, width, 1), -22) << width;
        EXPECT_EQ(buffer[0], 0xA5);
    }
    EXPECT_EQ(Helper::IntToArrayQuick(nullptr, value, 8, 1), -22);
}

TEST(HelperTest, SplitStringKeepsEmptyPieces) {
    std::vector<std::string> parts{"old"};
    EXPECT_EQ(Helper::SplitString("", parts, ','), 0);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(Helper::SplitString("abc", parts, ','), 1);
    EXPECT_EQ(parts, std::vector<std::string>{"abc"});
    EXPECT_EQ(Helper::SplitString("a,,b", parts, ','), 3);
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(Helper::SplitString(",x,", parts, ','), 3);
    EXPECT_EQ(parts, (std::vector<std::string>{"", "x", ""}));
    EXPECT_EQ(Helper::SplitString("1 2", parts, ' '), 2);
    EXPECT_EQ(parts, (std::vector<std::string>{"1", "2"}));
}

}  // namespace
