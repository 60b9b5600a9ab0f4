// Sending rows and frames, replacing payloads, and cyclic transmission.
#include <gtest/gtest.h>

#include "CANTestUtil.h"
#include "CoreFixture.h"

using namespace cantest;
using CustomApplication::kNothingScheduled;
using CustomApplication::CANTypes::CANMessage;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::Extended;
using CustomApplication::CANTypes::Standard;
using testsupport::CoreFixture;

namespace {

class CANTransmit : public CoreFixture {
protected:
    void SetUp() override {
        ASSERT_EQ(InitApp(), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
        ASSERT_EQ(sdk.CANInit(CANBus(2), receive, 0, transmit, 2), 1);
    }

    // The payload of the next frame the platform records.
    Bytes NextFrame() {
        EXPECT_TRUE(platform.AwaitMessages(++expected));
        const auto children = CANChildren(platform);
        EXPECT_EQ(children.size(), expected);
        EXPECT_EQ(children.back().command, 4);
        return children.back().payload;
    }

    CANReceiveTableEntry receive[1] = {};
    const unsigned char payload[4] = {0xA1, 0xA2, 0xA3, 0xA4};
    CANTransmitTableEntry transmit[2] = {
        {payload, 4, 0x18FEF100, Extended, 0},
        {payload, 1, 0x0FF, FrameType(7), 0},
    };
    std::size_t expected = 0;
};

TEST_F(CANTransmit, RowsGoOutAsCommandFourWithTheirBusFormatAndPayload) {
    EXPECT_EQ(sdk.CANSendMessage(1, 0), 0);
    EXPECT_EQ(NextFrame(), FrameBytes(0x18FEF100, 1, 2, {0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(platform.Messages().back().destination, 254);
    // A Type other than Extended is a standard frame.
    EXPECT_EQ(sdk.CANSendMessage(1, 1), 0);
    EXPECT_EQ(NextFrame(), FrameBytes(0x0FF, 0, 2, {0xA1}));

    EXPECT_EQ(sdk.CANSendMessage(1, -1), -2);
    EXPECT_EQ(sdk.CANSendMessage(1, 2), -2);
    EXPECT_EQ(sdk.CANSendMessage(0, 0), -2);
    EXPECT_EQ(sdk.CANSendMessage(2, 0), -2);
}

TEST_F(CANTransmit, FreeStandingFramesNeedNoInterface) {
    CANMessage message{CANBus(4), 0x1ABCDEF0, Extended, 2, {9, 8, 7, 6, 5, 4, 3, 2}};
    EXPECT_EQ(sdk.CANSendMessage(&message), 0);
    EXPECT_EQ(NextFrame(), FrameBytes(0x1ABCDEF0, 1, 4, {9, 8}));
    // Type 7 is standard.
    message = CANMessage{CANBus(0), 0x7FF, FrameType(7), 8, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(sdk.CANSendMessage(&message), 0);
    EXPECT_EQ(NextFrame(), FrameBytes(0x7FF, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(sdk.CANSendMessage(nullptr), -22);
}

// Frames the bus cannot carry, and buses that do not exist, are refused
// without anything being sent.
TEST_F(CANTransmit, FramesAndBusesOutOfRangeAreRefusedAndNothingIsSent) {
    const CANMessage refused[] = {
        {CANBus(9), 0x100, Standard, 1, {1}},       {CANBus(-1), 0x100, Standard, 1, {1}},
        {CANBus(5), 0x100, Standard, 1, {1}},       {CANBus(1), 0x800, Standard, 1, {1}},
        {CANBus(1), 0x800, FrameType(7), 1, {1}},   {CANBus(1), 0x20000000, Extended, 1, {1}},
    };
    for (CANMessage message : refused) EXPECT_EQ(sdk.CANSendMessage(&message), -22);
    CANMessage tooLong{CANBus(1), 0x100, Standard, 9, {1}};
    EXPECT_EQ(sdk.CANSendMessage(&tooLong), -7);
    EXPECT_EQ(sdk.CANRegisterReceiveAllMessages(CANBus(9), Standard, &Deliveries::Callback, nullptr), -22);
    CANTransmitTableEntry wide[1] = {{payload, 1, 0x800, Standard, 10}};
    EXPECT_EQ(sdk.CANInit(CANBus(3), receive, 0, wide, 1), -22);
    EXPECT_EQ(sdk.CANInit(CANBus(9), receive, 0, transmit, 0), -22);
    // The widest identifiers of each format go out.
    CANMessage widest{CANBus(1), 0x1FFFFFFF, Extended, 0, {}};
    EXPECT_EQ(sdk.CANSendMessage(&widest), 0);
    EXPECT_EQ(NextFrame(), FrameBytes(0x1FFFFFFF, 1, 1, {}));
}

TEST_F(CANTransmit, UpdatesReplaceThePayloadOfLaterSends) {
    const unsigned char two[2] = {0x21, 0x22};
    const unsigned char six[6] = {0x61, 0x62, 0x63, 0x64, 0x65, 0x66};
    const unsigned char nine[9] = {};
    ASSERT_EQ(sdk.CANUpdateMessageData(1, 0, two, 2), 0);
    ASSERT_EQ(sdk.CANSendMessage(1, 0), 0);
    EXPECT_EQ(NextFrame(), FrameBytes(0x18FEF100, 1, 2, {0x21, 0x22}));
    // Longer than the buffer: a new one.
    ASSERT_EQ(sdk.CANUpdateMessageData(1, 0, six, 6), 0);
    ASSERT_EQ(sdk.CANSendMessage(1, 0), 0);
    EXPECT_EQ(NextFrame(), FrameBytes(0x18FEF100, 1, 2, {0x61, 0x62, 0x63, 0x64, 0x65, 0x66}));

    // Refused updates change nothing.
    EXPECT_EQ(sdk.CANUpdateMessageData(1, 0, nine, 9), -22);
    EXPECT_EQ(sdk.CANUpdateMessageData(1, 0, nullptr, 1), -22);
    EXPECT_EQ(sdk.CANUpdateMessageData(1, 2, two, 2), -2);
    EXPECT_EQ(sdk.CANUpdateMessageData(1, -1, two, 2), -2);
    EXPECT_EQ(sdk.CANUpdateMessageData(7, 0, two, 2), -2);
    ASSERT_EQ(sdk.CANSendMessage(1, 0), 0);
    EXPECT_EQ(NextFrame(), FrameBytes(0x18FEF100, 1, 2, {0x61, 0x62, 0x63, 0x64, 0x65, 0x66}));

    // An empty payload is a payload.
    ASSERT_EQ(sdk.CANUpdateMessageData(1, 0, two, 0), 0);
    ASSERT_EQ(sdk.CANSendMessage(1, 0), 0);
    EXPECT_EQ(NextFrame(), FrameBytes(0x18FEF100, 1, 2, {}));
}

// The service pass alone, on the component.
class CANCyclic : public CANComponent {
protected:
    std::int64_t LastSent(int index) {
        return can.InterfaceFromUid(1)->TransmitTable.at(index)->LastSentTicks.load();
    }

    CANReceiveTableEntry receive[1] = {};
    const unsigned char payload[1] = {1};
};

TEST_F(CANCyclic, ARowGoesOutWhenDueAndKeepsItsPhase) {
    CANTransmitTableEntry rows[2] = {{payload, 1, 0x10, Standard, 1000}, {payload, 1, 0x11, Standard, 0}};
    ASSERT_EQ(can.Create(CANBus(1), receive, 0, rows, 2), 1);
    // Never sent, the row falls due at tick Period = 1000.
    EXPECT_EQ(can.Service(), 1000);
    EXPECT_EQ(LastSent(0), 0);
    clock.Advance(999);
    EXPECT_EQ(can.Service(), 1);
    EXPECT_TRUE(Sent().empty());
    clock.Advance(1);
    EXPECT_EQ(can.Service(), 1000);  // sent: the next is a period away
    EXPECT_EQ(LastSent(0), 1000);
    EXPECT_EQ(LastSent(1), 0);  // Period 0: on request only
    clock.Advance(600);
    EXPECT_EQ(can.Service(), 400);
    clock.Advance(403);
    EXPECT_EQ(can.Service(), 997);  // sent 3 ms late: the next is due a period after this one was
    EXPECT_EQ(LastSent(0), 2000);
    const auto frame = std::make_pair(std::int32_t{4}, FrameBytes(0x10, 0, 1, {1}));
    EXPECT_EQ(Sent(), (std::vector<std::pair<std::int32_t, Bytes>>{frame, frame}));
    // The time to the next row counts from the tick the pass began at (here
    // 5 ms before this bus's turn), so that the loop's wait ends on the due
    // tick itself.
    clock.Advance(100);
    EXPECT_EQ(can.Service(clock.NowMs() - 5), 902);
}

TEST_F(CANCyclic, CyclesMissedWhileNothingCouldBeSentAreNotMadeUp) {
    CANTransmitTableEntry rows[1] = {{payload, 1, 0x10, Standard, 10}};
    ASSERT_EQ(can.Create(CANBus(1), receive, 0, rows, 1), 1);
    // A second without a pass (the platform held up): one frame, no burst.
    clock.Advance(1000);
    for (int pass = 0; pass < 3; ++pass) (void)can.Service();
    EXPECT_EQ(Sent().size(), 1u);
    clock.Advance(10);
    (void)can.Service();
    EXPECT_EQ(Sent().size(), 2u);
}

// After a new connection: every receive row and one catch-all per bus
// again, and nothing once stopped.
TEST_F(CANCyclic, ReplaySendsEverySubscriptionAgain) {
    CANReceiveTableEntry rows[2] = {{0x200, 0x7FF, Standard, nullptr, nullptr},
                                    {0x100, 0x700, Standard, nullptr, nullptr}};
    CANTransmitTableEntry none[1] = {};
    ASSERT_EQ(can.Create(CANBus(1), rows, 2, none, 0), 1);
    ASSERT_EQ(can.Create(CANBus(3), rows, 0, none, 0), 2);
    const auto callback = [](void*, CANBus, std::uint32_t, FrameType, const unsigned char*, unsigned char) {};
    ASSERT_EQ(can.RegisterReceiveAllMessages(CANBus(3), Standard, callback, nullptr), 0);
    ASSERT_EQ(can.RegisterReceiveAllMessages(CANBus(3), Extended, callback, nullptr), 0);
    sink.sent.clear();
    (void)can.Replay();
    EXPECT_EQ(Sent(), (std::vector<std::pair<std::int32_t, Bytes>>{{2, SubscriptionBytes(1, 0x100, 0x700)},
                                                                   {2, SubscriptionBytes(1, 0x200, 0x7FF)},
                                                                   {2, SubscriptionBytes(3, 0, 0)}}));
    stop = true;
    (void)can.Replay();
    EXPECT_EQ(Sent().size(), 3u);
}

TEST_F(CANCyclic, AnImmediateSendRestartsTheCycle) {
    CANTransmitTableEntry rows[1] = {{payload, 1, 0x10, Standard, 1000}};
    ASSERT_EQ(can.Create(CANBus(1), receive, 0, rows, 1), 1);
    clock.Advance(5000);
    EXPECT_EQ(can.Service(), 1000);
    clock.Advance(500);
    ASSERT_EQ(can.SendMessage(1, 0), 0);
    EXPECT_EQ(LastSent(0), 5500);
    clock.Advance(498);
    EXPECT_EQ(can.Service(), 502);
    EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(CANCyclic, NegativePeriodsGoOutOnEveryPassAndNothingOnceStopped) {
    CANTransmitTableEntry rows[2] = {{payload, 1, 0x10, Standard, -1},
                                     {payload, 1, 0x11, Standard, INT64_MIN}};
    ASSERT_EQ(can.Create(CANBus(1), receive, 0, rows, 2), 1);
    for (int pass = 1; pass <= 3; ++pass) {
        clock.Advance(1);
        EXPECT_EQ(can.Service(), kNothingScheduled);
        EXPECT_EQ(LastSent(0), pass);
        EXPECT_EQ(LastSent(1), pass);
    }
    EXPECT_EQ(Sent().size(), 6u);
    stop = true;
    clock.Advance(1);
    EXPECT_EQ(can.Service(), kNothingScheduled);
    EXPECT_EQ(Sent().size(), 6u);
}

TEST_F(CANCyclic, TheEarliestRowDecidesAcrossInterfacesAndHugePeriodsDoNotOverflow) {
    EXPECT_EQ(can.Service(), kNothingScheduled);
    CANTransmitTableEntry slow[2] = {{payload, 1, 0x10, Standard, 700}, {payload, 1, 0x11, Standard, INT64_MAX}};
    CANTransmitTableEntry fast[1] = {{payload, 1, 0x20, Standard, 50}};
    ASSERT_EQ(can.Create(CANBus(1), receive, 0, slow, 2), 1);
    ASSERT_EQ(can.Create(CANBus(3), receive, 0, fast, 1), 2);
    clock.Advance(10'000);
    EXPECT_EQ(can.Service(), 50);
    clock.Advance(45);
    EXPECT_EQ(can.Service(), 5);
    clock.Advance(5);
    EXPECT_EQ(can.Service(), 50);
}

// A 1 ms row on another bus makes the passes run every millisecond; the
// 10 ms row still goes out once per period, and after a stall once, not once
// per cycle it missed.
TEST_F(CANCyclic, ARowKeepsItsRateBesideAFasterOneAndSkipsMissedCycles) {
    CANTransmitTableEntry tenMs[1] = {{payload, 1, 0x10, Standard, 10}};
    CANTransmitTableEntry oneMs[1] = {{payload, 1, 0x20, Standard, 1}};
    ASSERT_EQ(can.Create(CANBus(1), receive, 0, tenMs, 1), 1);
    ASSERT_EQ(can.Create(CANBus(2), receive, 0, oneMs, 1), 2);
    const auto count = [&](std::uint8_t identifier) {
        return std::count_if(sink.sent.begin(), sink.sent.end(),
                             [&](const auto& each) { return each.payload.at(0) == identifier; });
    };
    clock.Advance(5'000);
    std::int64_t wait = can.Service();  // both rows' first send
    sink.sent.clear();
    const std::int64_t end = clock.NowMs() + 1'000;
    while (clock.NowMs() < end) {
        ASSERT_GE(wait, 1);
        clock.Advance(std::min(wait, end - clock.NowMs()));
        wait = can.Service();
    }
    EXPECT_EQ(count(0x10), 100);
    EXPECT_EQ(count(0x20), 1'000);

    sink.sent.clear();
    clock.Advance(55);
    EXPECT_LE(can.Service(), 10);
    EXPECT_EQ(count(0x10), 1);
    EXPECT_EQ(count(0x20), 1);
}

// A send that could not be written returns the write's result and leaves
// the row's cycle as it was.
TEST_F(CANCyclic, AFailedWriteIsReportedAndRestartsNoCycle) {
    CANTransmitTableEntry rows[1] = {{payload, 1, 0x10, Standard, 1000}};
    ASSERT_EQ(can.Create(CANBus(1), receive, 0, rows, 1), 1);
    sink.result = -32;
    clock.Advance(500);
    EXPECT_EQ(can.SendMessage(1, 0), -32);
    EXPECT_EQ(LastSent(0), 0);
    CANMessage message{CANBus(1), 0x10, Standard, 1, {1}};
    EXPECT_EQ(can.SendMessage(&message), -32);
}

// The rows due in a pass go out in one write, in table order, whichever
// interface they belong to; a send on request still has a write of its own.
// A failed write costs its rows that cycle only: each keeps its phase.
TEST_F(CANCyclic, TheRowsDueInAPassGoOutInOneWrite) {
    CANTransmitTableEntry first[3] = {
        {payload, 1, 0x10, Standard, 10}, {payload, 1, 0x11, Standard, 20}, {payload, 1, 0x12, Standard, 0}};
    CANTransmitTableEntry second[1] = {{payload, 1, 0x20, Standard, 20}};
    ASSERT_EQ(can.Create(CANBus(1), receive, 0, first, 3), 1);
    ASSERT_EQ(can.Create(CANBus(2), receive, 0, second, 1), 2);
    clock.Advance(20);
    EXPECT_EQ(can.Service(), 10);
    EXPECT_EQ(can.SendMessage(1, 2), 0);
    clock.Advance(10);
    EXPECT_EQ(can.Service(), 10);
    sink.result = -11;  // the platform does not take the next pass's write
    clock.Advance(10);
    EXPECT_EQ(can.Service(), 10);
    sink.result = 0;
    clock.Advance(10);
    EXPECT_EQ(can.Service(), 10);
    clock.Advance(10);
    EXPECT_EQ(can.Service(), 10);
    EXPECT_EQ(sink.writes, (std::vector<std::size_t>{3, 1, 1, 3, 1, 3}));
    std::vector<std::uint32_t> identifiers;
    for (const auto& each : Sent()) identifiers.push_back(each.second[0] | (each.second[1] << 8));
    EXPECT_EQ(identifiers, (std::vector<std::uint32_t>{0x10, 0x11, 0x20, 0x12, 0x10, 0x10, 0x11, 0x20, 0x10, 0x10,
                                                       0x11, 0x20}));
}

// Through the service loop: a row with a short period is sent every period,
// not every 200 ms.
class CANServiceLoop : public CoreFixture {};

TEST_F(CANServiceLoop, TheLoopWakesForEachPeriodOfARowItJustSent) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    ASSERT_TRUE(clock.AwaitWaits(1));  // the first pass found nothing to send
    const unsigned char payload[2] = {0xC0, 0xDE};
    CANReceiveTableEntry receive[1] = {};
    CANTransmitTableEntry rows[1] = {{payload, 2, 0x321, Standard, 20}};
    ASSERT_EQ(sdk.CANInit(CANBus(1), receive, 0, rows, 1), 1);

    clock.Advance(200);  // ends the first wait; the row is overdue and goes out
    ASSERT_TRUE(clock.AwaitWaits(2));
    ASSERT_TRUE(platform.AwaitMessages(1));
    for (std::size_t pass = 3; pass <= 5; ++pass) {
        clock.Advance(20);
        ASSERT_TRUE(clock.AwaitWaits(pass));
        ASSERT_TRUE(platform.AwaitMessages(pass - 1));
    }
    const auto waits = clock.WaitsBegun();
    EXPECT_EQ(waits, (std::vector<std::int64_t>{200, 20, 20, 20, 20}));
    const auto children = CANChildren(platform);
    ASSERT_EQ(children.size(), 4u);
    for (const auto& child : children) EXPECT_EQ(child.payload, FrameBytes(0x321, 0, 1, {0xC0, 0xDE}));
}

}  // namespace
