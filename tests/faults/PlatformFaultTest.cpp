// The platform goes away while an application waits for one of its answers:
// the wait ends with -107 (the connection lost) no later than its time-out,
// calls made afterwards fail at once, and Shutdown and destruction still end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "CoreFixture.h"

using CustomApplication::CoreTypes::CANBus;
using testsupport::CoreFixture;
using testsupport::TestPlatform;

namespace {

constexpr std::int64_t kRequestTimeoutMs = 500;
constexpr int kRealBoundMs = 10'000;  // generous: only a hang exceeds it

class PlatformDeath : public CoreFixture {
protected:
    // Resolved once the library has sent a message of `category`.
    void WatchFor(std::int32_t category) {
        platform.SetObserver([this, category](const TestPlatform::Message& message) {
            if (message.category == category && !seen.exchange(true)) request.set_value();
        });
    }

    // Runs `call` on another thread; once its request reached the platform,
    // the platform stops. Returns the call's result and checks that it came
    // no later than the time-out on the library's clock.
    std::int32_t CallWhileThePlatformDies(const std::function<std::int32_t()>& call) {
        return CallWhile(call, [this] { platform.Server().Stop(); });
    }

    // As above, with `fault` in place of the platform's death (`gone`: one
    // after which the platform no longer lists the application).
    std::int32_t CallWhile(const std::function<std::int32_t()>& call, const std::function<void()>& fault,
                           bool gone = true) {
        const std::int64_t started = clock.NowMs();
        auto result = std::async(std::launch::async, call);
        EXPECT_EQ(requested.wait_for(std::chrono::milliseconds(kRealBoundMs)), std::future_status::ready)
            << "the request never reached the platform";
        fault();
        if (gone) {
            EXPECT_TRUE(platform.AwaitClientGone(kAddress));
        }
        // The clock moves in steps until the call returns; a call that waits
        // past its time-out shows in the elapsed time.
        for (int step = 0; step < 100; ++step) {
            if (result.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready) break;
            clock.Advance(25);
        }
        EXPECT_EQ(result.wait_for(std::chrono::milliseconds(kRealBoundMs)), std::future_status::ready);
        EXPECT_LE(clock.NowMs() - started, kRequestTimeoutMs + 25);
        return result.get();
    }

    // Runs `call` with the library's clock standing still: it must return on
    // its own. If it does not, the clock is moved on so that the test ends.
    std::int32_t CallsFailFast(const std::function<std::int32_t()>& call) {
        auto result = std::async(std::launch::async, call);
        const bool fast = result.wait_for(std::chrono::milliseconds(kRealBoundMs)) == std::future_status::ready;
        EXPECT_TRUE(fast) << "a call after the platform died waited for an answer";
        for (int step = 0; !fast && step < 100; ++step) {
            clock.Advance(100);
            if (result.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready) break;
        }
        return result.get();
    }

    // Shutdown and destruction end without the platform.
    void EndsCleanly() {
        auto shutdown = std::async(std::launch::async, [this] { sdk.Shutdown(); });
        ASSERT_EQ(shutdown.wait_for(std::chrono::milliseconds(kRealBoundMs)), std::future_status::ready);
    }

    // Real time: the library's clock is the fake one.
    std::atomic<bool> seen{false};
    std::promise<void> request;
    std::shared_future<void> requested = request.get_future().share();
};

TEST_F(PlatformDeath, DuringAnEEPROMRead) {
    WatchFor(22);
    ASSERT_EQ(InitApp(0), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    unsigned char data[16] = {};
    EXPECT_EQ(CallWhileThePlatformDies([&] { return sdk.EEPROMRead(0, data, sizeof data); }), -107);

    EXPECT_EQ(CallsFailFast([&] { return sdk.EEPROMRead(0, data, sizeof data); }), -107);
    EXPECT_EQ(CallsFailFast([&] { return sdk.EEPROMSave(); }), -107);
    EndsCleanly();
}

TEST_F(PlatformDeath, DuringAControllerApplicationCreation) {
    WatchFor(13);
    ASSERT_EQ(InitApp(0), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    CustomApplication::J1939Types::J1939Name name{1, 2, 3, 4, 0x12345, 0x2ab, 0x81, 5, 6};
    CustomApplication::J1939Types::J1939ReceiveTableEntry rx[1] = {};
    CustomApplication::J1939Types::J1939TransmitTableEntry tx[1] = {};
    EXPECT_EQ(CallWhileThePlatformDies([&] { return sdk.J1939CreateCA(CANBus(0), 0x80, &name, rx, 0, tx, 0); }),
              -107);

    EXPECT_EQ(CallsFailFast([&] { return sdk.J1939CreateCA(CANBus(1), 0x81, &name, rx, 0, tx, 0); }), -107);
    EXPECT_EQ(CallsFailFast([&] { return sdk.J1939AttachToPlatformCA(CANBus(1), rx, 0, tx, 0); }), -107);
    EndsCleanly();
}

TEST_F(PlatformDeath, DuringAFileQueryInPlugInMode) {
    WatchFor(22);
    ASSERT_EQ(InitApp(1), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    CustomApplication::PluginTypes::FileStats stats{};
    EXPECT_EQ(CallWhileThePlatformDies([&] { return sdk.PluginGetFileStats(&stats, {}); }), -107);

    EXPECT_EQ(CallsFailFast([&] { return sdk.PluginGetFileStats(&stats, {}); }), -107);
    CustomApplication::PluginTypes::FileData block{};
    EXPECT_EQ(CallsFailFast([&] { return sdk.PluginGetFileData(&block, {}, 0, 0, 0); }), -107);
    EndsCleanly();
}

TEST_F(PlatformDeath, AStreamThePlatformBreaksEndsTheConnectionAndTheWaitingRequest) {
    WatchFor(22);
    ASSERT_EQ(InitApp(0), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    // The head of a read reply whose length prefix announces 0x1FFFF bytes,
    // past the limit: the stream cannot be followed any further, and the
    // bytes after the prefix must not be taken for a reply.
    std::vector<std::uint8_t> garbage = TestPlatform::Frame(22, 2, std::vector<std::uint8_t>(1036, 0x5A));
    garbage.resize(40);
    garbage[0] = 0xFF;
    garbage[1] = 0xFF;
    garbage[2] = 0x01;
    garbage[3] = 0x00;
    unsigned char data[16] = {};
    EXPECT_EQ(CallWhile([&] { return sdk.EEPROMRead(0, data, sizeof data); },
                        [&] { EXPECT_EQ(platform.SendRaw(kAddress, garbage), 0); }, false),
              -107);
    EXPECT_EQ(std::vector<unsigned char>(data, data + sizeof data), std::vector<unsigned char>(sizeof data, 0));

    // The platform is still there: the library connects anew by itself.
    EXPECT_TRUE(AwaitReconnections(1));
    EndsCleanly();
}

}  // namespace
