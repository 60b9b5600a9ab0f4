#include <gtest/gtest.h>
#include <stdlib.h>

#include "CoreFixture.h"
#include "IPCClient.h"

using CustomApplication::TarvexInterface;
using CustomApplication::TEST_AwaitLiveCount;
using CustomApplication::TEST_LiveCount;
using CustomApplication::TEST_State;
using testsupport::CoreFixture;

namespace {

class Lifecycle : public CoreFixture {};

TEST_F(Lifecycle, InitRegistersWithThePlatformAndShutdownLeavesIt) {
    ASSERT_EQ(InitApp(), 0);
    EXPECT_TRUE(platform.AwaitClient(kAddress));
    const auto running = State();
    EXPECT_TRUE(running.clientActive);
    EXPECT_TRUE(running.listenerStarted);
    EXPECT_TRUE(running.serviceStarted);

    sdk.Shutdown();
    EXPECT_FALSE(State().clientActive);
    EXPECT_TRUE(platform.AwaitClientGone(kAddress));
    sdk.Shutdown();  // idempotent
}

TEST_F(Lifecycle, SecondInitOnAnyInstanceIsRefused) {
    ASSERT_EQ(InitApp(), 0);
    EXPECT_EQ(InitApp(), -114);
    TarvexInterface other;
    EXPECT_EQ(other.Init(kAddress + 1, host.Table(), 0), -114);
    EXPECT_FALSE(TEST_State(other).connectionMade);
    EXPECT_EQ(platform.Server().RegisteredAddresses(), std::vector<std::int32_t>{kAddress});
}

TEST_F(Lifecycle, FailedInitStillUsesUpTheProcessInit) {
    EXPECT_EQ(InitApp(2), -22);
    EXPECT_EQ(InitApp(0), -114);
    TarvexInterface other;
    EXPECT_EQ(other.Init(kAddress, host.Table(), 0), -114);
    EXPECT_FALSE(State().connectionMade);
}

TEST_F(Lifecycle, NullTableIsRefusedAfterTheModeWasStored) {
    EXPECT_EQ(sdk.Init(kAddress, nullptr, 1), -22);
    const auto state = State();
    EXPECT_EQ(state.mode, 1);
    EXPECT_FALSE(state.pluginObject);
    EXPECT_FALSE(state.connectionMade);
    // The host services have no table to forward to.
    EXPECT_EQ(sdk.TaskScheduleAsync(nullptr, nullptr), -22);
    sdk.TaskCancel(3);
}

TEST_F(Lifecycle, PluginModeCreatesThePluginObject) {
    ASSERT_EQ(InitApp(1), 0);
    EXPECT_TRUE(State().pluginObject);
}

TEST_F(Lifecycle, ApplicationModeHasNoPluginObject) {
    ASSERT_EQ(InitApp(0), 0);
    EXPECT_FALSE(State().pluginObject);
}

TEST_F(Lifecycle, ModeGates) {
    // J1939, J1708, EEPROM and CAN allowed, per mode; the modes are stored
    // without a host table, so no connection is made.
    const auto gates = [](std::int32_t mode) {
        TarvexInterface instance;
        EXPECT_EQ(CustomApplication::TEST_InitWithoutConnecting(instance, nullptr, mode), -22);
        const auto state = TEST_State(instance);
        return std::vector<bool>{state.j1939Allowed, state.j1708Allowed, state.eepromAllowed, state.canAllowed};
    };
    EXPECT_EQ(gates(0), (std::vector<bool>{true, true, true, true}));
    EXPECT_EQ(gates(1), (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(gates(-3), (std::vector<bool>{false, false, false, false}));
}

TEST_F(Lifecycle, NegativeModePassesInitAndRefusesEveryService) {
    ASSERT_EQ(InitApp(-1), 0);
    const auto state = State();
    EXPECT_FALSE(state.pluginObject);
    EXPECT_FALSE(state.canAllowed);
    EXPECT_FALSE(state.j1939Allowed);
}

TEST_F(Lifecycle, UnreachablePlatformFailsInitWithoutThreads) {
    setenv(PlatformServices::kEndpointEnvVar, (platform.Path() + ".missing").c_str(), 1);
    const std::int32_t result = InitApp();
    EXPECT_LT(result, 0);
    const auto state = State();
    ASSERT_TRUE(state.connectionMade);
    EXPECT_FALSE(state.listenerStarted);
    EXPECT_FALSE(state.serviceStarted);
    sdk.Shutdown();
}

TEST_F(Lifecycle, RefusedRegistrationIsReturnedAndStartsNoThread) {
    PlatformServices::IPCClient squatter;
    ASSERT_EQ(squatter.Connect(platform.Path().c_str()), 0);
    ASSERT_GT(squatter.RegisterAddress(kAddress), 0);
    const std::int32_t result = InitApp();
    EXPECT_LT(result, 0);
    EXPECT_FALSE(State().listenerStarted);
    EXPECT_FALSE(State().serviceStarted);
}

TEST(LifecycleWithoutPlatform, DestroyingAnUninitialisedInstanceFreesIt) {
    {
        TarvexInterface sdk;
        EXPECT_EQ(TEST_LiveCount(), 1);
        sdk.Shutdown();
    }
    EXPECT_EQ(TEST_LiveCount(), 0);
}

TEST_F(Lifecycle, ShutdownFromADispatchHookDoesNotJoinTheListenerItself) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    host.OnDispatchBegin([this] { sdk.Shutdown(); });
    ASSERT_EQ(platform.Send(kAddress, 99, 1, {}), 0);
    ASSERT_TRUE(host.AwaitEvents(2));
    EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin", "end"}));
    EXPECT_TRUE(State().stopRequested);
    // The instance is joined and released from this thread at destruction.
}

TEST_F(Lifecycle, DestroyingTheInstanceFromADispatchHookCompletesOnTheListener) {
    auto* owned = new TarvexInterface();
    ASSERT_EQ(owned->Init(kAddress, host.Table(), 0), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    ASSERT_EQ(TEST_LiveCount(), 2);  // the fixture's and this one
    host.OnDispatchBegin([owned] { delete owned; });
    ASSERT_EQ(platform.Send(kAddress, 99, 1, {}), 0);
    ASSERT_TRUE(host.AwaitEvents(2));
    ASSERT_TRUE(platform.AwaitClientGone(kAddress));
    // The listener deletes the private object as it leaves its loop.
    EXPECT_TRUE(TEST_AwaitLiveCount(1, 10'000));
}

TEST_F(Lifecycle, CallsBeforeInitAndAfterShutdownAreRefusedAndSendNothing) {
    using namespace CustomApplication::CANTypes;
    using CustomApplication::CoreTypes::CANBus0;
    CANReceiveTableEntry receive{0x100, 0x7FF, Standard, nullptr, nullptr};
    CANTransmitTableEntry transmit{nullptr, 0, 0x200, Standard, 0};
    CANMessage frame{CANBus0, 0x300, Standard, 0, {}};
    unsigned char data[2] = {};
    EXPECT_EQ(sdk.CANInit(CANBus0, &receive, 1, &transmit, 1), -13);
    EXPECT_EQ(sdk.CANSendMessage(&frame), -13);
    EXPECT_EQ(sdk.J1708Init(nullptr, 0, nullptr, 0), -13);
    EXPECT_EQ(sdk.EEPROMRead(0, data, 2), -13);

    ASSERT_EQ(InitApp(), 0);
    // The refused call consumed no uid and left the bus free.
    EXPECT_EQ(sdk.CANInit(CANBus0, &receive, 1, &transmit, 1), 1);
    ASSERT_TRUE(platform.AwaitMessages(1));
    sdk.Shutdown();
    const std::size_t sent = platform.Messages().size();
    EXPECT_EQ(sdk.CANInit(CustomApplication::CoreTypes::CANBus1, &receive, 1, &transmit, 1), -13);
    EXPECT_EQ(sdk.CANSendMessage(&frame), -13);
    EXPECT_EQ(sdk.EEPROMWrite(0, data, 2), -13);
    EXPECT_EQ(platform.Messages().size(), sent);
    EXPECT_EQ(platform.Messages().front().category, 10);
}

TEST_F(Lifecycle, AWorkerStartsOnlyOnceInitHasRecordedIt) {
    auto* owned = new TarvexInterface();
    host.OnDispatchBegin([owned] { delete owned; });
    bool aliveThroughInit = false;
    // While Init is held between the two thread starts, a message arrives
    // whose dispatch destroys the instance. The listener must not get to it
    // before Init has recorded the listener.
    CustomApplication::TEST_OnListenerCreated(*owned, [&] {
        EXPECT_EQ(platform.Send(kAddress, 99, 1, {}), 0);
        (void)host.AwaitEvents(1, 500);  // the listener would have dispatched it by now
        aliveThroughInit = TEST_LiveCount() == 2;
    });
    ASSERT_EQ(owned->Init(kAddress, host.Table(), 0), 0);
    EXPECT_TRUE(aliveThroughInit);
    // Then the listener dispatches it and deletes the instance as it leaves.
    ASSERT_TRUE(platform.AwaitClientGone(kAddress));
    EXPECT_TRUE(TEST_AwaitLiveCount(1, 10'000));
}

TEST_F(Lifecycle, PlatformClosingTheConnectionEndsTheListener) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    ASSERT_EQ(platform.Server().Disconnect(kAddress), 0);
    // Shutdown joins the listener, which has left its loop on its own.
    sdk.Shutdown();
    EXPECT_FALSE(State().clientActive);
    EXPECT_TRUE(host.Events().empty());
}

}  // namespace
