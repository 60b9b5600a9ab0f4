#include <gtest/gtest.h>

#include "SimFixture.h"

namespace {

using namespace simtest;
using namespace gatewaysim;

Bytes Subscription(std::uint8_t bus, std::uint32_t id, std::uint32_t mask) {
    Bytes b(12, 0xEE);  // padding carries no meaning
    b[0] = bus;
    Put32(b, 4, id);
    Put32(b, 8, mask);
    return b;
}

Bytes FrameRecord(std::uint8_t bus, std::uint32_t id, bool extended, const Bytes& data, std::uint8_t length = 0xFF) {
    Bytes b(16, 0);
    Put32(b, 0, id);
    b[4] = extended ? 1 : 0;
    b[5] = bus;
    b[6] = 0x5A;  // reserved: any value
    b[7] = length == 0xFF ? static_cast<std::uint8_t>(data.size()) : length;
    for (std::size_t i = 0; i < data.size() && i < 8; ++i) b[8 + i] = data[i];
    return b;
}

class CanServiceTest : public SimTest {};

TEST_F(CanServiceTest, FramesReachMatchingSubscribersOnceAndNeverTheirSender) {
    StartSim();
    RawApp& a = Connect(100);
    RawApp& b = Connect(101);
    RawApp& c = Connect(102);
    a.Send(kCategoryCan, can::kCmdSubscribe, Subscription(1, 0x100, 0x700));  // matches 0x1xx
    b.Send(kCategoryCan, can::kCmdSubscribe, Subscription(1, 0, 0));          // everything on can1
    b.Send(kCategoryCan, can::kCmdSubscribe, Subscription(1, 0x123, 0x7FF));  // also matches 0x123
    c.Send(kCategoryCan, can::kCmdSubscribe, Subscription(2, 0, 0));          // another bus
    a.Sync();
    b.Sync();
    c.Sync();

    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(1, 0x123, false, {1, 2, 3}));
    a.Sync();
    b.Sync();
    c.Sync();
    const auto atB = b.Of(kCategoryCan, can::kCmdReceived);
    ASSERT_EQ(atB.size(), 1u);  // one copy, however many subscriptions match
    EXPECT_EQ(atB[0].source, kAddressCan);
    const Bytes& r = atB[0].payload;
    ASSERT_EQ(r.size(), 16u);
    EXPECT_EQ(Get32(r, 0), 0x123u);
    EXPECT_EQ(r[4], 0);
    EXPECT_EQ(r[5], 1);
    EXPECT_EQ(r[7], 3);
    EXPECT_EQ(Bytes(r.begin() + 8, r.end()), (Bytes{1, 2, 3, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(a.Of(kCategoryCan, can::kCmdReceived).empty());  // its own subscription matches, yet no echo
    EXPECT_TRUE(c.Of(kCategoryCan, can::kCmdReceived).empty());

    // An extended frame from the operator reaches both subscribers of can1.
    ASSERT_TRUE(Run("can1 18FEF100#11.22.33.44.55.66.77.88").ok);
    const auto atA = a.AwaitCount(kCategoryCan, can::kCmdReceived, 1);
    ASSERT_EQ(atA.size(), 1u);
    EXPECT_EQ(Get32(atA[0].payload, 0), 0x18FEF100u);
    EXPECT_EQ(atA[0].payload[4], 1);
    EXPECT_EQ(atA[0].payload[7], 8);
    EXPECT_EQ(atA[0].payload[15], 0x88);
    EXPECT_EQ(b.AwaitCount(kCategoryCan, can::kCmdReceived, 2).size(), 2u);
}

TEST_F(CanServiceTest, SubscriptionsAreWithdrawnOneByOneOrAllAtOnce) {
    StartSim();
    RawApp& a = Connect(100);
    RawApp& b = Connect(101);
    b.Send(kCategoryCan, can::kCmdSubscribe, Subscription(0, 0x10, 0x7FF));
    b.Send(kCategoryCan, can::kCmdSubscribe, Subscription(0, 0x20, 0x7FF));
    b.Send(kCategoryCan, can::kCmdUnsubscribe, Subscription(0, 0x10, 0x7FF));
    b.Send(kCategoryCan, can::kCmdUnsubscribe, Subscription(0, 0x30, 0x7FF));  // never subscribed
    b.Sync();
    EXPECT_TRUE(AwaitReport("application 101: CAN command 5 refused: no such subscription"));

    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(0, 0x10, false, {1}));
    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(0, 0x20, false, {2}));
    a.Sync();
    b.Sync();
    auto got = b.Of(kCategoryCan, can::kCmdReceived);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Get32(got[0].payload, 0), 0x20u);

    b.Send(kCategoryCan, can::kCmdUnsubscribeAll, {});
    b.Sync();
    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(0, 0x20, false, {3}));
    a.Sync();
    b.Sync();
    EXPECT_EQ(b.Of(kCategoryCan, can::kCmdReceived).size(), 1u);
    EXPECT_EQ(Run("list").text.find("CAN subscription"), std::string::npos);
}

TEST_F(CanServiceTest, MalformedAndImpossibleFramesAreRefusedAndReported) {
    StartSim();
    RawApp& a = Connect(100);
    RawApp& b = Connect(101);
    b.Send(kCategoryCan, can::kCmdSubscribe, Subscription(0, 0, 0));
    b.Send(kCategoryCan, can::kCmdSubscribe, Subscription(5, 0, 0));
    b.Send(kCategoryCan, can::kCmdSubscribe, Bytes(11, 0));
    b.Sync();
    EXPECT_TRUE(AwaitReport("application 101: CAN command 2 refused: no bus 5"));
    EXPECT_TRUE(AwaitReport("application 101: CAN command 2 refused: payload of 11 bytes, expected 12"));

    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(5, 0x10, false, {1}));        // no such bus
    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(0, 0x10, false, {1}, 9));     // length over 8
    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(0, 0x800, false, {1}));       // not 11 bits
    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(0, 0x20000000, true, {1}));   // not 29 bits
    a.Send(kCategoryCan, can::kCmdSend, Bytes(17, 0));                            // record too long
    a.Send(kCategoryCan, 9, {});                                                  // no such command
    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(0, 0x7FF, false, {}));        // a valid empty frame
    a.Sync();
    b.Sync();
    const auto got = b.Of(kCategoryCan, can::kCmdReceived);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Get32(got[0].payload, 0), 0x7FFu);
    EXPECT_EQ(got[0].payload[7], 0);
    EXPECT_EQ(CountReports("application 100: CAN command"), 6u);
    EXPECT_TRUE(AwaitReport("length 9 exceeds 8"));
    EXPECT_TRUE(AwaitReport("identifier 800 does not fit a standard frame"));
    EXPECT_TRUE(AwaitReport("identifier 20000000 does not fit an extended frame"));
    EXPECT_FALSE(a.Closed());  // refused, not dropped
}

TEST_F(CanServiceTest, AnApplicationThatLeavesTakesItsSubscriptionsAlong) {
    StartSim();
    RawApp& a = Connect(100);
    auto b = std::make_unique<RawApp>(options_.endpoint, 101);
    ASSERT_TRUE(AwaitReport("application 101 connected"));
    b->Send(kCategoryCan, can::kCmdSubscribe, Subscription(3, 0, 0));
    b->Sync();
    EXPECT_NE(Run("list").text.find("CAN subscription can3 id 0 mask 0"), std::string::npos);
    b->Close();
    ASSERT_TRUE(AwaitReport("application 101 disconnected"));
    EXPECT_EQ(Run("list").text.find("application 101"), std::string::npos);

    // The same address, connected again, starts without subscriptions.
    RawApp& again = Connect(101);
    ASSERT_EQ(CountReports("application 101 connected"), 2u);
    a.Send(kCategoryCan, can::kCmdSend, FrameRecord(3, 0x1, false, {1}));
    a.Sync();
    again.Sync();
    EXPECT_TRUE(again.Of(kCategoryCan, can::kCmdReceived).empty());
}

}  // namespace

namespace {

// On a bus with a bit rate, an application that floods it is held back once
// its transmit queue is full: its messages wait unread in its socket while
// another application is read and served on at once, and every frame still
// goes out, in order.
TEST_F(CanServiceTest, AFullTransmitQueueHoldsBackItsApplicationOnly) {
    options_.bitrates[0] = 250000;
    options_.bitrates[1] = 250000;
    StartSim();
    RawApp& flood = Connect(100);
    RawApp& other = Connect(101);
    RawApp& reader = Connect(102);
    reader.Send(kCategoryCan, can::kCmdSubscribe, Subscription(0, 0, 0));
    reader.Send(kCategoryCan, can::kCmdSubscribe, Subscription(1, 0, 0));
    reader.Sync();

    constexpr int kFrames = 400;  // 0.2 s of wire time at least
    for (int i = 0; i < kFrames; ++i)
        flood.Send(kCategoryCan, can::kCmdSend,
                   FrameRecord(0, 0x100, false, {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)}));
    other.Send(kCategoryCan, can::kCmdSend, FrameRecord(0, 0x050, false, {0xAA}));
    other.Send(kCategoryCan, can::kCmdSend, FrameRecord(1, 0x700, false, {0xBB}));
    other.Sync();  // read and answered while the flood waits

    const auto got = reader.AwaitCount(kCategoryCan, can::kCmdReceived, kFrames + 2);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kFrames + 2));
    int next = 0;
    std::size_t otherAt = got.size();
    for (std::size_t i = 0; i < got.size(); ++i) {
        const std::uint32_t id = Get32(got[i].payload, 0);
        if (id == 0x050) otherAt = i;
        if (id != 0x100) continue;
        EXPECT_EQ(got[i].payload[8] | got[i].payload[9] << 8, next) << i;
        ++next;
    }
    EXPECT_EQ(next, kFrames);
    // Its frame contended with the flood's queue, not with all of its frames.
    EXPECT_LT(otherAt, static_cast<std::size_t>(kFrames - 100));
    // The flood's queue never grew past its depth: the rest waited unread.
    ExpectDrainedWithinDepth(Run("timing").text, "application 100", kFrames);
}

}  // namespace
