// Setting up interfaces: checks, copies, uids, subscriptions and shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "CANTestUtil.h"
#include "CoreFixture.h"

using namespace cantest;
using CustomApplication::CANTypes::CANMessage;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::Extended;
using CustomApplication::CANTypes::Standard;
using testsupport::CoreFixture;

namespace {

void Ignore(void*, CANBus, unsigned int, FrameType, const unsigned char*, unsigned char) {}

class CANInitTest : public CoreFixture {
protected:
    void SetUp() override {
        ASSERT_EQ(InitApp(), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
    }

    // Sends a free-standing frame after `expected` messages and waits until
    // the platform has that many plus one. The last must be the marker: a
    // message sent unexpectedly before it would take its place.
    std::vector<testsupport::TestPlatform::Child> ChildrenBeforeMarker(std::size_t expected) {
        CANMessage marker{CustomApplication::CoreTypes::CANBus0, 0x7EE, Standard, 0, {}};
        EXPECT_EQ(sdk.CANSendMessage(&marker), 0);
        EXPECT_TRUE(platform.AwaitMessages(expected + 1));
        auto children = CANChildren(platform);
        EXPECT_EQ(children.size(), expected + 1);
        EXPECT_EQ(children.back().payload, FrameBytes(0x7EE, 0, 0, {}));
        children.pop_back();
        return children;
    }

    CANReceiveTableEntry receive[3] = {
        {0x300, 0x7FF, Standard, &Ignore, nullptr},
        {0x100, 0x700, Standard, nullptr, nullptr},  // no callback: still subscribed
        {0x18FEF100, 0x1FFFFFFF, Extended, &Ignore, nullptr},
    };
    const unsigned char payload[4] = {1, 2, 3, 4};
    CANTransmitTableEntry transmit[2] = {
        {payload, 4, 0x200, Standard, 0},
        {nullptr, 0, 0x201, Standard, 0},  // empty payload, no buffer needed
    };
};


TEST_F(CANInitTest, ChecksRunInOrderAndTheFirstFailureDecides) {
    CANTransmitTableEntry tooLong[1] = {{payload, 9, 0x200, Standard, 0}};
    CANTransmitTableEntry nullData[1] = {{nullptr, 3, 0x200, Standard, 0}};
    CANReceiveTableEntry duplicate[2] = {{5, 0x7FF, Standard, &Ignore, nullptr},
                                         {5, 0, Standard, &Ignore, nullptr}};

    ASSERT_EQ(sdk.CANInit(CANBus(1), receive, 3, transmit, 2), 1);
    // A null table counts even with a count of 0, and before the bus.
    EXPECT_EQ(sdk.CANInit(CANBus(9), nullptr, 0, transmit, 0), -22);
    EXPECT_EQ(sdk.CANInit(CANBus(2), receive, 0, nullptr, 0), -22);
    // The bus range before the existence test.
    EXPECT_EQ(sdk.CANInit(CANBus(5), receive, 0, transmit, 0), -22);
    EXPECT_EQ(sdk.CANInit(CANBus(-1), receive, 0, transmit, 0), -22);
    // An existing interface before any table content.
    EXPECT_EQ(sdk.CANInit(CANBus(1), duplicate, 2, tooLong, 1), -17);
    // The receive table before the transmit table.
    EXPECT_EQ(sdk.CANInit(CANBus(2), duplicate, 2, tooLong, 1), -114);
    EXPECT_EQ(sdk.CANInit(CANBus(2), receive, 3, tooLong, 1), -7);
    // A count larger than any table: the rows decide, no exception leaves.
    EXPECT_EQ(sdk.CANInit(CANBus(2), receive, 3, tooLong, 0x7FFFFFFF), -7);
    // A payload length without a payload.
    EXPECT_EQ(sdk.CANInit(CANBus(2), receive, 3, nullData, 1), -22);

    // None of the failures left an interface, a subscription or a used uid.
    EXPECT_EQ(sdk.CANRegisterReceiveAllMessages(CANBus(2), Standard, &Ignore, nullptr), -1);
    EXPECT_EQ(sdk.CANSendMessage(2, 0), -2);
    // Only the three subscriptions of the first call.
    const auto children = ChildrenBeforeMarker(3);
    for (const auto& child : children) EXPECT_EQ(child.command, 2);
    EXPECT_EQ(sdk.CANInit(CANBus(4), receive, 3, transmit, 2), 2);
}

TEST_F(CANInitTest, EveryReceiveRowIsSubscribedInAscendingIdentifierOrder) {
    ASSERT_EQ(sdk.CANInit(CANBus(3), receive, 3, transmit, 2), 1);
    const auto children = ChildrenBeforeMarker(3);
    ASSERT_EQ(children.size(), 3u);
    for (const auto& child : children) EXPECT_EQ(child.command, 2);
    EXPECT_EQ(children[0].payload, SubscriptionBytes(3, 0x100, 0x700));
    EXPECT_EQ(children[1].payload, SubscriptionBytes(3, 0x300, 0x7FF));
    EXPECT_EQ(children[2].payload, SubscriptionBytes(3, 0x18FEF100, 0x1FFFFFFF));
}

// Counts deliveries; a test waits for them with a bound.
struct Deliveries {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;

    static void Callback(void* context, CANBus, unsigned int, FrameType, const unsigned char*, unsigned char) {
        auto* self = static_cast<Deliveries*>(context);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            ++self->count;
        }
        self->changed.notify_all();
    }
    bool Await(int count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return this->count >= count; });
    }
};

TEST_F(CANInitTest, AFrameForwardedAsSoonAsTheSubscriptionArrivesFindsItsRow) {
    // The platform forwards a matching frame the moment it records the first
    // subscription, while CANInit may still be running.
    Deliveries received;
    std::atomic<bool> answered{false};
    platform.SetObserver([this, &answered](const testsupport::TestPlatform::Message& message) {
        if (message.category != 10 || message.children.empty() || message.children[0].command != 2) return;
        if (answered.exchange(true)) return;
        platform.Send(kAddress, 10, 1, FrameBytes(0x000, 0, 3, {7}));
    });
    // Many rows: the first subscription, and the frame it releases, come
    // long before CANInit has sent the last one.
    std::vector<CANReceiveTableEntry> rows;
    rows.push_back({0x000, 0x7FF, Standard, &Deliveries::Callback, &received});
    for (std::uint32_t id = 1; id < 1000; ++id) rows.push_back({id, 0x7FF, Standard, &Ignore, nullptr});
    ASSERT_EQ(sdk.CANInit(CANBus(3), rows.data(), static_cast<std::int32_t>(rows.size()), transmit, 0), 1);
    EXPECT_TRUE(received.Await(1));
    sdk.Shutdown();  // joins the listener: every delivery is over
    platform.SetObserver(nullptr);
    EXPECT_TRUE(answered.load());
}

TEST_F(CANInitTest, EmptyTablesMakeAnInterfaceWithoutSubscriptions) {
    EXPECT_EQ(sdk.CANInit(CANBus(0), receive, 0, transmit, -3), 1);
    EXPECT_EQ(sdk.CANInit(CANBus(0), receive, 0, transmit, 0), -17);
    EXPECT_TRUE(ChildrenBeforeMarker(0).empty());
}

TEST_F(CANInitTest, TheTablesAreCopied) {
    unsigned char data[3] = {7, 8, 9};
    CANTransmitTableEntry row[1] = {{data, 3, 0x123, Extended, 0}};
    ASSERT_EQ(sdk.CANInit(CANBus(1), receive, 3, row, 1), 1);
    data[0] = 0;
    row[0] = CANTransmitTableEntry{nullptr, 0, 0, Standard, 0};
    ASSERT_EQ(sdk.CANSendMessage(1, 0), 0);
    ASSERT_TRUE(platform.AwaitMessages(4));
    EXPECT_EQ(CANChildren(platform).back().payload, FrameBytes(0x123, 1, 1, {7, 8, 9}));
}

TEST_F(CANInitTest, OfTwoCallsForOneBusAtOnceExactlyOneSucceeds) {
    // Each round races two threads on a fresh bus.
    std::vector<int> uids;
    for (int bus = 0; bus <= 4; ++bus) {
        std::atomic<int> ready{0};
        int results[2] = {0, 0};
        auto race = [&](int slot) {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
            results[slot] = sdk.CANInit(CANBus(bus), receive, 3, transmit, 2);
        };
        std::thread first(race, 0);
        std::thread second(race, 1);
        first.join();
        second.join();
        SCOPED_TRACE(bus);
        EXPECT_TRUE((results[0] > 0 && results[1] == -17) || (results[1] > 0 && results[0] == -17));
        uids.push_back(std::max(results[0], results[1]));
    }
    EXPECT_EQ(uids, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(CANInitTest, ShutdownWithdrawsEverySubscriptionAndForgetsTheInterfaces) {
    ASSERT_EQ(sdk.CANInit(CANBus(1), receive, 3, transmit, 2), 1);
    ASSERT_TRUE(platform.AwaitMessages(3));
    sdk.Shutdown();
    // The J1708 withdrawal goes out before the CAN one.
    ASSERT_TRUE(platform.AwaitMessages(5));
    const auto children = CANChildren(platform);
    ASSERT_EQ(children.size(), 4u);
    EXPECT_EQ(children[3].command, 3);
    EXPECT_TRUE(children[3].payload.empty());

    EXPECT_EQ(sdk.CANSendMessage(1, 0), -13);
    EXPECT_EQ(sdk.CANRegisterReceiveAllMessages(CANBus(1), Standard, &Ignore, nullptr), -1);
}

// The component alone: uids, and what its shutdown leaves.
class CANInitComponent : public CANComponent {};

TEST_F(CANInitComponent, UidsCountFromOneAndShutdownForgetsEveryInterface) {
    CANReceiveTableEntry receive[1] = {{0x300, 0x7FF, Standard, &Ignore, nullptr}};
    CANTransmitTableEntry transmit[1] = {{nullptr, 0, 0x201, Standard, 0}};
    EXPECT_EQ(can.Create(CANBus(1), receive, 1, transmit, 1), 1);
    CANReceiveTableEntry duplicate[2] = {{5, 0, Standard, &Ignore, nullptr}, {5, 1, Extended, nullptr, nullptr}};
    EXPECT_EQ(can.Create(CANBus(2), duplicate, 2, transmit, 1), -114);
    EXPECT_EQ(can.Create(CANBus(2), receive, 0, transmit, 0), 2);
    EXPECT_EQ(can.InterfaceFromUid(0), nullptr);
    ASSERT_NE(can.InterfaceFromUid(2), nullptr);
    EXPECT_EQ(can.InterfaceFromUid(2)->Bus, CANBus(2));

    can.Shutdown();
    const unsigned char data[1] = {1};
    EXPECT_EQ(can.SendMessage(1, 0), -2);
    EXPECT_EQ(can.UpdateMessageData(1, 0, data, 1), -2);
    EXPECT_FALSE(can.DoesInterfaceExist(CANBus(1)));
    // One subscription, then the withdrawal of every one.
    EXPECT_EQ(Sent(), (std::vector<std::pair<std::int32_t, Bytes>>{{2, SubscriptionBytes(1, 0x300, 0x7FF)}, {3, {}}}));
}

TEST(CANGate, EveryGatedOperationIsRefusedOutsideTheModesThatAllowCAN) {
    testsupport::FakeClock clock;
    testsupport::ScopedClock scoped(clock);
    testsupport::TestPlatform platform;
    testsupport::TestHost host;
    CustomApplication::TarvexInterface sdk;
    ASSERT_EQ(sdk.Init(100, host.Table(), -1), 0);
    CANReceiveTableEntry receive[1] = {{1, 0, Standard, &Ignore, nullptr}};
    CANTransmitTableEntry transmit[1] = {{nullptr, 0, 1, Standard, 0}};
    CANMessage message{CANBus(1), 1, Standard, 0, {}};
    const unsigned char data[1] = {0};
    // The gate comes before every other check.
    EXPECT_EQ(sdk.CANInit(CANBus(9), nullptr, 0, nullptr, 0), -13);
    EXPECT_EQ(sdk.CANInit(CANBus(1), receive, 1, transmit, 1), -13);
    EXPECT_EQ(sdk.CANSendMessage(&message), -13);
    EXPECT_EQ(sdk.CANSendMessage(nullptr), -13);
    EXPECT_EQ(sdk.CANSendMessage(1, 0), -13);
    EXPECT_EQ(sdk.CANUpdateMessageData(1, 0, data, 1), -13);
    // Not gated: it fails only for want of an interface.
    EXPECT_EQ(sdk.CANRegisterReceiveAllMessages(CANBus(1), Standard, &Ignore, nullptr), -1);
}

TEST(CANGate, PlugInModeAllowsCAN) {
    testsupport::FakeClock clock;
    testsupport::ScopedClock scoped(clock);
    testsupport::TestPlatform platform;
    testsupport::TestHost host;
    CustomApplication::TarvexInterface sdk;
    ASSERT_EQ(sdk.Init(100, host.Table(), 1), 0);
    CANReceiveTableEntry receive[1] = {{1, 0, Standard, &Ignore, nullptr}};
    CANTransmitTableEntry transmit[1] = {{nullptr, 0, 1, Standard, 0}};
    EXPECT_EQ(sdk.CANInit(CANBus(1), receive, 1, transmit, 1), 1);
    EXPECT_EQ(sdk.CANSendMessage(1, 0), 0);
}

}  // namespace
