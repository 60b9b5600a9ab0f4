// Construction, Init and the allocating helpers with one allocation failing.
#include <gtest/gtest.h>

#include <optional>

#include <customapp/CustomApplicationInterfaceLibrary.h>

#include "AllocFaultSupport.h"
#include "core/TestHooks.h"

using namespace allocfault;
using CustomApplication::CustomApplicationInterfaceLibrary;
using CustomApplication::TarvexInterface;
using CustomApplication::TEST_LiveCount;
using CustomApplication::TEST_State;
using CustomApplication::CANTypes::CANMessage;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CoreTypes::CANBus0;

namespace {

void Ignore(void*, CustomApplication::CoreTypes::CANBus, unsigned int, CustomApplication::CANTypes::FrameType,
            const unsigned char*, unsigned char) {}

// An instance that could not make its private object answers every CAN
// operation with -12 and is destroyed safely; one that could is whole.
TEST(ConstructionFailing, GivesAnInstanceWithoutPrivatePartsThatAnswersMinus12) {
    const int liveBefore = TEST_LiveCount();
    const long points = ForEachFailurePoint([&](long n) {
        std::optional<TarvexInterface> sdk;
        const Outcome made = CallFailing(n, [&] {
            sdk.emplace();
            return 0;
        });
        EXPECT_FALSE(made.escaped) << "allocation " << n;
        if (made.escaped) return true;
        if (!TEST_State(*sdk).hasPrivateParts) {
            EXPECT_TRUE(made.injected);
            CANReceiveTableEntry receive[1] = {};
            CANTransmitTableEntry transmit[1] = {};
            CANMessage message{};
            const unsigned char data[1] = {1};
            EXPECT_EQ(sdk->CANInit(CANBus0, receive, 0, transmit, 0), -12);
            EXPECT_EQ(sdk->CANSendMessage(1, 0), -12);
            EXPECT_EQ(sdk->CANSendMessage(&message), -12);
            EXPECT_EQ(sdk->CANUpdateMessageData(1, 0, data, 1), -12);
            EXPECT_EQ(sdk->CANRegisterReceiveAllMessages(CANBus0, CustomApplication::CANTypes::Standard, &Ignore,
                                                         nullptr),
                      -12);
            EXPECT_EQ(TEST_LiveCount(), liveBefore);
        } else {
            EXPECT_EQ(TEST_LiveCount(), liveBefore + 1);
        }
        sdk.reset();
        EXPECT_EQ(TEST_LiveCount(), liveBefore);
        return made.injected;
    });
    EXPECT_GE(points, 1);
}

TEST(ConstructionFailing, InitOfTheInstanceWithoutPrivatePartsGivesMinus12) {
    testsupport::TestPlatform platform;
    testsupport::TestHost host;
    std::optional<TarvexInterface> sdk;
    const Outcome made = CallFailing(1, [&] {
        sdk.emplace();
        return 0;
    });
    ASSERT_FALSE(made.escaped);
    ASSERT_FALSE(TEST_State(*sdk).hasPrivateParts);
    EXPECT_EQ(sdk->Init(100, host.Table(), 0), -12);
    // Once per process, whatever the outcome.
    EXPECT_EQ(sdk->Init(100, host.Table(), 0), -114);
}

// Init in plug-in mode, which also makes the plug-in object: each failure
// point in a process of its own, as Init succeeds once per process.
class InitFailing : public ::testing::Test, public FailurePoint {
public:
    static constexpr long kBound = 10;

protected:
    static constexpr std::int32_t kAddress = 100;

    testsupport::TestPlatform platform;
    testsupport::TestHost host;
    TarvexInterface sdk;
};

TEST_P(InitFailing, Minus12WithoutWorkerThreadsOrSucceedsWhole) {
    const Outcome init = CallFailing(N(), [&] { return sdk.Init(kAddress, host.Table(), 1); });
    ASSERT_FALSE(init.escaped);
    const auto state = TEST_State(sdk);
    if (init.injected) {
        EXPECT_EQ(init.result, -12);
        // No worker thread runs after a failed Init.
        ASSERT_FALSE(state.listenerStarted);
        ASSERT_FALSE(state.serviceStarted);
        EXPECT_EQ(sdk.Init(kAddress, host.Table(), 1), -114);
    } else {
        EXPECT_EQ(init.result, 0);
        EXPECT_TRUE(platform.AwaitClient(kAddress));
        EXPECT_TRUE(state.pluginObject && state.mode == 1);
        EXPECT_TRUE(state.listenerStarted && state.serviceStarted);
    }
    if (N() == kBound) {
        EXPECT_FALSE(init.injected) << "raise kBound past Init's last allocation";
    }
    sdk.Shutdown();
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, InitFailing, ::testing::Range(1L, InitFailing::kBound + 1),
                         PointName);

// The two helpers that hand an allocation to the application report its
// failure in their documented way and leave nothing to release.
TEST(HelpersFailing, VersionRecordAndSemaphoreReportTheFailure) {
    const long versionPoints = ForEachFailurePoint([](long n) {
        PlatformServices::Helper::VersionInfo* info = nullptr;
        const Outcome made = CallFailing(n, [&] { return CustomApplicationInterfaceLibrary::GetVersionInfo(&info); });
        EXPECT_FALSE(made.escaped);
        if (made.injected) {
            EXPECT_EQ(made.result, -12);
            EXPECT_EQ(info, nullptr);
        } else {
            EXPECT_EQ(made.result, 0);
            EXPECT_NE(info, nullptr);
        }
        delete info;
        return made.injected;
    });
    EXPECT_EQ(versionPoints, 1);

    TarvexInterface sdk;
    const long semaphorePoints = ForEachFailurePoint([&](long n) {
        void* semaphore = nullptr;
        const Outcome made = CallFailing(n, [&] {
            semaphore = sdk.SemaphoreCreate();
            return 0;
        });
        EXPECT_FALSE(made.escaped);
        EXPECT_EQ(semaphore == nullptr, made.injected);
        if (semaphore != nullptr) {
            sdk.SemaphoreSet(semaphore);
            EXPECT_EQ(sdk.SemaphoreWait(semaphore, 0), 0);
        }
        sdk.SemaphoreFree(semaphore);
        return made.injected;
    });
    EXPECT_EQ(semaphorePoints, 1);
}

}  // namespace
