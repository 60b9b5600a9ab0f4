#include <gtest/gtest.h>
#include <stdlib.h>

#include "CoreFixture.h"
#include "IPCClient.h"

using CustomApplication::TarvexInterface;
using CustomApplication::TarvexInterfacePrivate;
using testsupport::CoreFixture;

namespace {

class Lifecycle : public CoreFixture {};

TEST_F(Lifecycle, InitRegistersWithThePlatformAndShutdownLeavesIt) {
    ASSERT_EQ(InitApp(), 0);
    EXPECT_TRUE(platform.AwaitClient(kAddress));
    auto* client = Private().Client();
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(client->IsActive());
    EXPECT_TRUE(Private().connection->listenerStarted);
    EXPECT_TRUE(Private().connection->serviceStarted);

    sdk.Shutdown();
    EXPECT_FALSE(client->IsActive());
    EXPECT_TRUE(platform.AwaitClientGone(kAddress));
    sdk.Shutdown();  // idempotent
}

TEST_F(Lifecycle, SecondInitOnAnyInstanceIsRefused) {
    ASSERT_EQ(InitApp(), 0);
    EXPECT_EQ(InitApp(), -114);
    TarvexInterface other;
    EXPECT_EQ(other.Init(kAddress + 1, host.Table(), 0), -114);
    EXPECT_EQ(TarvexInterfacePrivate::TEST_Of(other)->connection, nullptr);
    EXPECT_EQ(platform.Server().RegisteredAddresses(), std::vector<std::int32_t>{kAddress});
}

TEST_F(Lifecycle, FailedInitStillUsesUpTheProcessInit) {
    EXPECT_EQ(InitApp(2), -22);
    EXPECT_EQ(InitApp(0), -114);
    TarvexInterface other;
    EXPECT_EQ(other.Init(kAddress, host.Table(), 0), -114);
    EXPECT_EQ(Private().connection, nullptr);
}

TEST_F(Lifecycle, NullTableIsRefusedAfterTheModeWasStored) {
    EXPECT_EQ(sdk.Init(kAddress, nullptr, 1), -22);
    EXPECT_EQ(Private().sdkMode, TarvexInterfacePrivate::PluginMode);
    EXPECT_EQ(Private().plugin, nullptr);
    EXPECT_EQ(Private().connection, nullptr);
    // The host services have no table to forward to.
    EXPECT_EQ(sdk.TaskScheduleAsync(nullptr, nullptr), -22);
    sdk.TaskCancel(3);
}

TEST_F(Lifecycle, PluginModeCreatesThePluginObject) {
    ASSERT_EQ(InitApp(1), 0);
    EXPECT_NE(Private().plugin, nullptr);
}

TEST_F(Lifecycle, ApplicationModeHasNoPluginObject) {
    ASSERT_EQ(InitApp(0), 0);
    EXPECT_EQ(Private().plugin, nullptr);
}

TEST_F(Lifecycle, ModeGates) {
    using P = TarvexInterfacePrivate;
    P& d = Private();
    const P::ServiceType all[] = {P::ServiceJ1939, P::ServiceJ1708, P::ServiceEEPROM, P::ServiceCAN};
    d.sdkMode = P::ApplicationMode;
    for (auto service : all) EXPECT_TRUE(d.IsServiceAllowed(service)) << service;
    EXPECT_FALSE(d.IsServiceAllowed(static_cast<P::ServiceType>(4)));
    EXPECT_FALSE(d.IsServiceAllowed(static_cast<P::ServiceType>(-1)));
    d.sdkMode = P::PluginMode;
    EXPECT_TRUE(d.IsServiceAllowed(P::ServiceJ1939));
    EXPECT_FALSE(d.IsServiceAllowed(P::ServiceJ1708));
    EXPECT_FALSE(d.IsServiceAllowed(P::ServiceEEPROM));
    EXPECT_TRUE(d.IsServiceAllowed(P::ServiceCAN));
    d.sdkMode = static_cast<P::SDKMode>(-3);
    for (auto service : all) EXPECT_FALSE(d.IsServiceAllowed(service)) << service;
}

TEST_F(Lifecycle, NegativeModePassesInitAndRefusesEveryService) {
    ASSERT_EQ(InitApp(-1), 0);
    EXPECT_EQ(Private().plugin, nullptr);
    EXPECT_FALSE(Private().IsServiceAllowed(TarvexInterfacePrivate::ServiceCAN));
    EXPECT_FALSE(Private().IsServiceAllowed(TarvexInterfacePrivate::ServiceJ1939));
}

TEST_F(Lifecycle, UnreachablePlatformFailsInitWithoutThreads) {
    setenv(PlatformServices::kEndpointEnvVar, (platform.Path() + ".missing").c_str(), 1);
    const std::int32_t result = InitApp();
    EXPECT_LT(result, 0);
    ASSERT_NE(Private().connection, nullptr);
    EXPECT_FALSE(Private().connection->listenerStarted);
    EXPECT_FALSE(Private().connection->serviceStarted);
    sdk.Shutdown();
}

TEST_F(Lifecycle, RefusedRegistrationIsReturnedAndStartsNoThread) {
    PlatformServices::IPCClient squatter;
    ASSERT_EQ(squatter.Connect(platform.Path().c_str()), 0);
    ASSERT_GT(squatter.RegisterAddress(kAddress), 0);
    const std::int32_t result = InitApp();
    EXPECT_LT(result, 0);
    EXPECT_FALSE(Private().connection->listenerStarted);
    EXPECT_FALSE(Private().connection->serviceStarted);
}

TEST(LifecycleWithoutPlatform, DestroyingAnUninitialisedInstanceFreesIt) {
    {
        TarvexInterface sdk;
        EXPECT_EQ(TarvexInterfacePrivate::TEST_LiveCount(), 1);
        sdk.Shutdown();
    }
    EXPECT_EQ(TarvexInterfacePrivate::TEST_LiveCount(), 0);
}

TEST_F(Lifecycle, ShutdownFromADispatchHookDoesNotJoinTheListenerItself) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    host.OnDispatchBegin([this] { sdk.Shutdown(); });
    ASSERT_EQ(platform.Send(kAddress, 99, 1, {}), 0);
    ASSERT_TRUE(host.AwaitEvents(2));
    EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin", "end"}));
    EXPECT_TRUE(Private().stopRequested.load());
    // The instance is joined and released from this thread at destruction.
}

TEST_F(Lifecycle, DestroyingTheInstanceFromADispatchHookCompletesOnTheListener) {
    auto* owned = new TarvexInterface();
    ASSERT_EQ(owned->Init(kAddress, host.Table(), 0), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    ASSERT_EQ(TarvexInterfacePrivate::TEST_LiveCount(), 2);  // the fixture's and this one
    host.OnDispatchBegin([owned] { delete owned; });
    ASSERT_EQ(platform.Send(kAddress, 99, 1, {}), 0);
    ASSERT_TRUE(host.AwaitEvents(2));
    ASSERT_TRUE(platform.AwaitClientGone(kAddress));
    // The listener deletes the private object as it leaves its loop.
    EXPECT_TRUE(TarvexInterfacePrivate::TEST_AwaitLiveCount(1, 10'000));
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
    TarvexInterfacePrivate::TEST_Of(*owned)->TEST_listenerCreated = [&] {
        EXPECT_EQ(platform.Send(kAddress, 99, 1, {}), 0);
        (void)host.AwaitEvents(1, 500);  // the listener would have dispatched it by now
        aliveThroughInit = TarvexInterfacePrivate::TEST_LiveCount() == 2;
    };
    ASSERT_EQ(owned->Init(kAddress, host.Table(), 0), 0);
    EXPECT_TRUE(aliveThroughInit);
    // Then the listener dispatches it and deletes the instance as it leaves.
    ASSERT_TRUE(platform.AwaitClientGone(kAddress));
    EXPECT_TRUE(TarvexInterfacePrivate::TEST_AwaitLiveCount(1, 10'000));
}

TEST_F(Lifecycle, PlatformClosingTheConnectionEndsTheListener) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    ASSERT_EQ(platform.Server().Disconnect(kAddress), 0);
    // Shutdown joins the listener, which has left its loop on its own.
    sdk.Shutdown();
    EXPECT_FALSE(Private().Client()->IsActive());
    EXPECT_TRUE(host.Events().empty());
}

}  // namespace
