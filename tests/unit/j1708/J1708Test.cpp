#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "CoreFixture.h"
#include "FakeSink.h"
#include "common/CyclicSchedule.h"
#include "j1708/J1708.h"

using CustomApplication::kNothingScheduled;
using CustomApplication::TarvexInterface;
using CustomApplication::J1708Types::J1708Message;
using CustomApplication::J1708Types::J1708ReceiveTableEntry;
using CustomApplication::J1708Types::J1708TransmitTableEntry;
using testsupport::CoreFixture;
using testsupport::TestPlatform;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Collects the deliveries of the callbacks registered with it as context.
class Sink {
public:
    struct Delivery {
        std::uint8_t mid;
        std::uint8_t checksum;
        std::uint8_t priority;
        Bytes data;
    };

    static void Callback(void* context, unsigned char mid, unsigned char checksum, unsigned char priority,
                         const unsigned char* data, unsigned char length) {
        auto* sink = static_cast<Sink*>(context);
        {
            std::lock_guard<std::mutex> guard(sink->lock_);
            sink->deliveries_.push_back(Delivery{mid, checksum, priority, Bytes(data, data + length)});
        }
        sink->changed_.notify_all();
    }

    std::vector<Delivery> Deliveries() const {
        std::lock_guard<std::mutex> guard(lock_);
        return deliveries_;
    }
    Bytes Mids() const {
        Bytes mids;
        for (const auto& delivery : Deliveries()) mids.push_back(delivery.mid);
        return mids;
    }
    bool Await(std::size_t count) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return deliveries_.size() >= count; });
    }

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
};

// A received frame record: MID, data bytes, checksum; `count` overrides Count.
Bytes Frame(std::uint8_t mid, const Bytes& data, std::uint8_t checksum, int count = -1) {
    Bytes record(33, 0);
    record[1] = 5;  // a priority that must not reach the callback
    record[2] = static_cast<std::uint8_t>(count >= 0 ? count : static_cast<int>(data.size()) + 2);
    record[3] = mid;
    for (std::size_t i = 0; i < data.size() && 4 + i < record.size(); ++i) record[4 + i] = data[i];
    if (4 + data.size() < record.size()) record[4 + data.size()] = checksum;
    return record;
}

class J1708Bus : public CoreFixture {
protected:
    void SetUp() override {
        ASSERT_EQ(InitApp(), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
    }
    // No callback may outlive the sinks below.
    void TearDown() override { sdk.Shutdown(); }

    void Receive(const Bytes& payload, std::int32_t command = 2) {
        ASSERT_EQ(platform.Send(kAddress, 20, command, payload), 0);
    }

    // The children of the category-20 messages sent so far, in order.
    std::vector<TestPlatform::Child> Sent() const {
        std::vector<TestPlatform::Child> children;
        for (const auto& message : platform.Messages()) {
            if (message.category != 20) continue;
            EXPECT_EQ(message.destination, 254);
            EXPECT_EQ(message.children.size(), 1u);
            for (const auto& child : message.children) children.push_back(child);
        }
        return children;
    }
    bool AwaitSent(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Sent().size() < count) {
            if (!platform.AwaitMessages(platform.Messages().size() + 1, 100) &&
                std::chrono::steady_clock::now() > deadline) {
                return false;
            }
        }
        return true;
    }

    Sink rows;
    Sink other;
    Sink all;
};

TEST_F(J1708Bus, InitChecksRunInOrderAndAFailedCallLeavesNothingBehind) {
    const std::uint8_t data[4] = {1, 2, 3, 4};
    J1708ReceiveTableEntry receive[2] = {{10, &Sink::Callback, &rows}, {10, &Sink::Callback, &other}};
    // 20 data bytes with the MID and the checksum would make a frame longer than the bus allows.
    J1708TransmitTableEntry transmit[2] = {{data, 4, 20, 0, 1}, {data, 20, 21, 0, 1}};

    EXPECT_EQ(sdk.J1708Init(receive, 0, nullptr, 0), -22);
    EXPECT_EQ(sdk.J1708Init(nullptr, 0, transmit, 0), -22);
    // The receive table is examined first: a duplicate MID wins over a row too long.
    EXPECT_EQ(sdk.J1708Init(receive, 2, transmit, 2), -114);
    EXPECT_EQ(sdk.J1708Init(receive, 1, transmit, 2), -7);
    // Data bytes announced without a buffer.
    J1708TransmitTableEntry noData[1] = {{nullptr, 2, 22, 0, 1}};
    EXPECT_EQ(sdk.J1708Init(receive, 1, noData, 1), -22);
    // None of them subscribed or left a row: the same table now succeeds and
    // its first transmit row is index 0.
    J1708TransmitTableEntry good[1] = {{data, 4, 30, 0, 2}};
    EXPECT_EQ(sdk.J1708SendMessage(0), -2);
    ASSERT_EQ(sdk.J1708Init(receive, 1, good, 1), 0);
    EXPECT_EQ(sdk.J1708SendMessage(1), -2);
    EXPECT_EQ(sdk.J1708SendMessage(-1), -2);
    ASSERT_EQ(sdk.J1708SendMessage(0), 0);
    ASSERT_TRUE(AwaitSent(2));
    const auto sent = Sent();
    EXPECT_EQ(sent[0].command, 3);
    EXPECT_TRUE(sent[0].payload.empty());
    EXPECT_EQ(sent[1].command, 1);
    EXPECT_EQ(sent[1].payload[3], 30);

    EXPECT_EQ(sdk.J1708Init(receive, 1, good, 1), -114);
    sdk.Shutdown();
    EXPECT_EQ(sdk.J1708Init(receive, 1, good, 1), -13);
    // A second registration sent nothing; shutdown withdrew the subscription.
    ASSERT_TRUE(AwaitSent(3));
    const auto all = Sent();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].command, 4);
    EXPECT_TRUE(all[2].payload.empty());
    EXPECT_EQ(sdk.J1708SendMessage(0), -13);
}

TEST_F(J1708Bus, ShutdownWithdrawsTheSubscriptionAlsoWithoutInit) {
    sdk.Shutdown();
    ASSERT_TRUE(AwaitSent(1));
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command, 4);
}

TEST_F(J1708Bus, RowsAndMessagesGoOutAsRecords) {
    const std::uint8_t data[20] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    J1708ReceiveTableEntry receive[1] = {};
    J1708TransmitTableEntry transmit[2] = {{nullptr, 0, 0x80, 0, 4}, {data, 19, 0x81, 0, 7}};
    ASSERT_EQ(sdk.J1708Init(receive, 0, transmit, 2), 0);
    ASSERT_EQ(sdk.J1708SendMessage(0), 0);
    ASSERT_EQ(sdk.J1708SendMessage(1), 0);
    J1708Message message{};
    message.Mid = 0x82;
    message.Priority = 2;
    message.Checksum = 0x55;
    message.Length = 19;
    for (int i = 0; i < 20; ++i) message.Data[i] = static_cast<std::uint8_t>(100 + i);
    ASSERT_EQ(sdk.J1708SendMessage(&message), 0);
    // One data byte more than a frame on the bus carries: refused, not cut.
    message.Length = 20;
    EXPECT_EQ(sdk.J1708SendMessage(&message), -7);
    EXPECT_EQ(sdk.J1708SendMessage(static_cast<J1708Message*>(nullptr)), -22);
    ASSERT_TRUE(AwaitSent(4));

    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 4u);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(sent[i].command, 1);
        ASSERT_EQ(sent[i].payload.size(), 33u);
    }
    Bytes onlyMid(33, 0);
    onlyMid[1] = 4;
    onlyMid[2] = 1;
    onlyMid[3] = 0x80;
    EXPECT_EQ(sent[1].payload, onlyMid);
    EXPECT_EQ(sent[2].payload[1], 7);
    EXPECT_EQ(sent[2].payload[2], 20);
    EXPECT_EQ(Bytes(sent[2].payload.begin() + 4, sent[2].payload.begin() + 23), Bytes(data, data + 19));
    EXPECT_EQ(sent[3].payload[1], 2);
    EXPECT_EQ(sent[3].payload[2], 20);
    EXPECT_EQ(sent[3].payload[3], 0x82);
    EXPECT_EQ(sent[3].payload[4 + 18], 118);
}

TEST_F(J1708Bus, ReceivedFramesGoToTheRowOfTheirMidElseToTheCatchAll) {
    J1708ReceiveTableEntry receive[3] = {
        {0x90, &Sink::Callback, &rows}, {0x91, nullptr, nullptr}, {0x92, &Sink::Callback, &other}};
    J1708TransmitTableEntry transmit[1] = {};
    ASSERT_EQ(sdk.J1708Init(receive, 3, transmit, 0), 0);

    // Without a catch-all, a MID without a row reaches nobody.
    Receive(Frame(0x99, {1}, 0x01));
    Receive(Frame(0x90, {1, 2, 3}, 0x33));
    ASSERT_TRUE(rows.Await(1));
    sdk.J1708RegisterReceiveAllMessages(&Sink::Callback, &all);
    Receive(Frame(0x99, {4}, 0x44));
    Receive(Frame(0x91, {}, 0x55));  // a row without callback passes its MID on
    Receive(Frame(0x92, {6, 7}, 0x66));
    Receive(Frame(0x90, {}, 0x77));
    ASSERT_TRUE(rows.Await(2));
    ASSERT_TRUE(all.Await(2));

    EXPECT_EQ(rows.Mids(), (Bytes{0x90, 0x90}));
    EXPECT_EQ(other.Mids(), (Bytes{0x92}));
    EXPECT_EQ(all.Mids(), (Bytes{0x99, 0x91}));
    const auto first = rows.Deliveries()[0];
    EXPECT_EQ(first.data, (Bytes{1, 2, 3}));
    EXPECT_EQ(first.checksum, 0x33);
    EXPECT_EQ(first.priority, 0);
    EXPECT_EQ(all.Deliveries()[0].data, (Bytes{4}));
    EXPECT_TRUE(all.Deliveries()[1].data.empty());
    EXPECT_EQ(all.Deliveries()[1].checksum, 0x55);
}

// The context of a catch-all that shuts its instance down on its first frame.
struct Stopper {
    TarvexInterface* sdk;
    Sink* sink;
};

void RecordAndShutDown(void* context, unsigned char mid, unsigned char checksum, unsigned char priority,
                       const unsigned char* data, unsigned char length) {
    auto* stopper = static_cast<Stopper*>(context);
    Sink::Callback(stopper->sink, mid, checksum, priority, data, length);
    stopper->sdk->Shutdown();
}

TEST_F(J1708Bus, NoCallbackStartsOnceACallbackHasCalledShutdown) {
    Stopper stopper{&sdk, &all};
    sdk.J1708RegisterReceiveAllMessages(&RecordAndShutDown, &stopper);
    // Three frames in one write: most likely one batch, which the listener
    // handles to its end.
    Bytes bytes;
    for (std::uint8_t mid : {0x01, 0x02, 0x03}) {
        const Bytes frame = TestPlatform::Frame(20, 2, Frame(mid, {mid}, mid));
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    ASSERT_EQ(platform.SendRaw(kAddress, bytes), 0);
    ASSERT_TRUE(all.Await(1));
    sdk.Shutdown();  // joins the listener
    EXPECT_EQ(all.Mids(), (Bytes{0x01}));
}

TEST_F(J1708Bus, MalformedFramesAndOtherCommandsAreDropped) {
    sdk.J1708RegisterReceiveAllMessages(&Sink::Callback, &all);
    Bytes tooLong = Frame(0x01, {1}, 1);
    tooLong.push_back(0);
    Receive(tooLong);                                 // 34 bytes
    Receive(Frame(0x02, {1}, 1), 5);                  // another command
    Receive(Frame(0x03, {}, 0, 1));                   // Count 1: the MID alone
    Receive(Frame(0x04, {}, 0, 0));                   // Count 0
    Receive(Frame(0x05, Bytes(21, 1), 1, 23));        // more than a message holds
    Receive(Bytes{0, 0, 4, 0x06, 1, 2});              // Count beyond the bytes that arrived
    Receive(Bytes{0, 0});                             // not even a Count
    Receive({});                                      // no payload
    Receive(Bytes{0, 0, 3, 0x07, 1, 2});              // short but whole: delivered
    Receive(Frame(0x08, Bytes(20, 2), 0x22));         // the longest deliverable frame
    ASSERT_TRUE(all.Await(2));
    EXPECT_EQ(all.Mids(), (Bytes{0x07, 0x08}));
    EXPECT_EQ(all.Deliveries()[0].data, Bytes{1});
    EXPECT_EQ(all.Deliveries()[0].checksum, 2);
    EXPECT_EQ(all.Deliveries()[1].data, Bytes(20, 2));
    EXPECT_EQ(all.Deliveries()[1].checksum, 0x22);
}

TEST_F(J1708Bus, TheLatestCatchAllRegistrationTakesOverAndANullOneStopsIt) {
    sdk.J1708RegisterReceiveAllMessages(&Sink::Callback, &all);
    Receive(Frame(0x01, {}, 1));
    ASSERT_TRUE(all.Await(1));
    sdk.J1708RegisterReceiveAllMessages(&Sink::Callback, &other);
    Receive(Frame(0x02, {}, 1));
    ASSERT_TRUE(other.Await(1));
    sdk.J1708RegisterReceiveAllMessages(nullptr, &all);
    // A row's delivery marks the point where the frame before it was handled.
    J1708ReceiveTableEntry receive[1] = {{0x40, &Sink::Callback, &rows}};
    J1708TransmitTableEntry transmit[1] = {};
    ASSERT_EQ(sdk.J1708Init(receive, 1, transmit, 0), 0);
    Receive(Frame(0x03, {}, 1));
    Receive(Frame(0x40, {}, 1));
    ASSERT_TRUE(rows.Await(1));
    sdk.J1708RegisterReceiveAllMessages(&Sink::Callback, &other);
    Receive(Frame(0x04, {}, 1));
    ASSERT_TRUE(other.Await(2));
    EXPECT_EQ(all.Mids(), Bytes{0x01});
    EXPECT_EQ(other.Mids(), (Bytes{0x02, 0x04}));
}

TEST_F(J1708Bus, UpdatesChangeTheDataOfLaterSends) {
    const std::uint8_t data[4] = {1, 2, 3, 4};
    J1708ReceiveTableEntry receive[1] = {};
    J1708TransmitTableEntry transmit[1] = {{data, 4, 0x70, 0, 1}};
    ASSERT_EQ(sdk.J1708Init(receive, 0, transmit, 1), 0);
    const std::uint8_t two[2] = {0xA, 0xB};
    const std::uint8_t six[6] = {0xC, 0xD, 0xE, 0xF, 0x10, 0x11};
    const std::uint8_t big[20] = {};
    EXPECT_EQ(sdk.J1708UpdateMessageData(0, two, 0), -22);
    EXPECT_EQ(sdk.J1708UpdateMessageData(0, big, 20), -22);
    EXPECT_EQ(sdk.J1708UpdateMessageData(0, nullptr, 2), -22);
    EXPECT_EQ(sdk.J1708UpdateMessageData(1, two, 2), -2);
    EXPECT_EQ(sdk.J1708UpdateMessageData(-1, two, 2), -2);
    ASSERT_EQ(sdk.J1708SendMessage(0), 0);  // unchanged by the refused updates
    ASSERT_EQ(sdk.J1708UpdateMessageData(0, two, 2), 0);
    ASSERT_EQ(sdk.J1708SendMessage(0), 0);
    ASSERT_EQ(sdk.J1708UpdateMessageData(0, six, 6), 0);
    ASSERT_EQ(sdk.J1708SendMessage(0), 0);
    ASSERT_TRUE(AwaitSent(4));
    const auto sent = Sent();
    auto frame = [&](std::size_t i) {
        const Bytes& p = sent[i].payload;
        return Bytes(p.begin() + 4, p.begin() + 3 + p[2]);
    };
    EXPECT_EQ(frame(1), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(frame(2), (Bytes{0xA, 0xB}));
    EXPECT_EQ(frame(3), Bytes(six, six + 6));
}

TEST(J1708BusInPluginMode, EveryGatedOperationIsRefusedAndNothingSent) {
    testsupport::FakeClock clock;
    testsupport::ScopedClock scoped(clock);
    TestPlatform platform;
    testsupport::TestHost host;
    CustomApplication::TarvexInterface sdk;
    ASSERT_EQ(sdk.Init(100, host.Table(), 1), 0);
    J1708ReceiveTableEntry receive[1] = {};
    J1708TransmitTableEntry transmit[1] = {};
    J1708Message message{};
    const std::uint8_t data[1] = {1};
    EXPECT_EQ(sdk.J1708Init(receive, 0, transmit, 0), -13);
    EXPECT_EQ(sdk.J1708Init(nullptr, 0, nullptr, 0), -13);  // the mode is checked first
    EXPECT_EQ(sdk.J1708SendMessage(0), -13);
    EXPECT_EQ(sdk.J1708SendMessage(&message), -13);
    EXPECT_EQ(sdk.J1708UpdateMessageData(0, data, 1), -13);
    EXPECT_TRUE(platform.Messages().empty());
}

TEST(J1708CatchAllBeforeInit, IsDisarmedByInit) {
    testsupport::FakeClock clock;
    testsupport::ScopedClock scoped(clock);
    TestPlatform platform;
    testsupport::TestHost host;
    Sink early;
    Sink sentinel;
    CustomApplication::TarvexInterface sdk;
    sdk.J1708RegisterReceiveAllMessages(&Sink::Callback, &early);
    ASSERT_EQ(sdk.Init(100, host.Table(), 0), 0);
    ASSERT_TRUE(platform.AwaitClient(100));
    J1708ReceiveTableEntry receive[1] = {{0x40, &Sink::Callback, &sentinel}};
    J1708TransmitTableEntry transmit[1] = {};
    ASSERT_EQ(sdk.J1708Init(receive, 1, transmit, 0), 0);
    ASSERT_EQ(platform.Send(100, 20, 2, Frame(0x41, {}, 1)), 0);
    ASSERT_EQ(platform.Send(100, 20, 2, Frame(0x40, {}, 1)), 0);
    ASSERT_TRUE(sentinel.Await(1));
    EXPECT_TRUE(early.Deliveries().empty());
    // Registering again after Init arms it.
    sdk.J1708RegisterReceiveAllMessages(&Sink::Callback, &early);
    ASSERT_EQ(platform.Send(100, 20, 2, Frame(0x41, {}, 1)), 0);
    ASSERT_TRUE(early.Await(1));
}

// The component alone over a recording sink: scheduling arithmetic (the
// test runs every pass itself), the stop state and what shutdown leaves.
class J1708Component : public ::testing::Test {
protected:
    std::int64_t LastSent(std::size_t index) { return j1708.Snapshot()->TransmitTable[index]->LastSentTicks.load(); }
    // The commands the component sent (all category 20 to address 254).
    std::vector<std::int32_t> Commands() const {
        std::vector<std::int32_t> commands;
        for (const auto& each : sink.sent) {
            EXPECT_EQ(each.category, 20);
            EXPECT_EQ(each.address, 254);
            commands.push_back(each.command);
        }
        return commands;
    }

    testsupport::FakeClock clock;
    testsupport::ScopedClock scopedClock{clock};
    testsupport::FakeSink sink;
    std::atomic<bool> stop{false};
    CustomApplication::Internal::J1708 j1708{sink, stop};
    J1708ReceiveTableEntry receive[1] = {};
};

TEST_F(J1708Component, ACyclicRowIsSentWhenDueAndKeepsItsPhase) {
    const unsigned char data[2] = {0xD1, 0xD2};
    J1708TransmitTableEntry transmit[2] = {{nullptr, 0, 1, 0, 0}, {data, 2, 0x82, 1000, 6}};
    ASSERT_EQ(j1708.Init(receive, 0, transmit, 2), 0);
    const std::int64_t t = clock.NowMs();
    // Never sent: due at once, and then due again a full period later.
    EXPECT_EQ(j1708.Service(), 1000);
    EXPECT_EQ(LastSent(1), t);
    EXPECT_EQ(LastSent(0), 0);  // rows without a period are never sent cyclically
    clock.Advance(600);
    EXPECT_EQ(j1708.Service(), 400);
    clock.Advance(399);
    EXPECT_EQ(j1708.Service(), 1);
    EXPECT_EQ(LastSent(1), t);
    clock.Advance(4);  // 3 ms late: sent now, and next due a period after it was due
    EXPECT_EQ(j1708.Service(), 997);
    EXPECT_EQ(LastSent(1), t + 1000);
    // A send on request restarts the cycle.
    clock.Advance(500);
    ASSERT_EQ(j1708.SendMessage(1), 0);
    clock.Advance(100);
    EXPECT_EQ(j1708.Service(), 900);
    // The subscription, then three sends of the row's 33-byte record.
    EXPECT_EQ(Commands(), (std::vector<std::int32_t>{3, 1, 1, 1}));
    Bytes record(33, 0);
    record[1] = 6;
    record[2] = 3;
    record[3] = 0x82;
    record[4] = 0xD1;
    record[5] = 0xD2;
    EXPECT_EQ(sink.sent.back().payload, record);
}

TEST_F(J1708Component, NothingIsSentWithoutCyclicRowsOnceStoppedOrAfterShutdown) {
    J1708TransmitTableEntry none[2] = {{nullptr, 0, 1, 0, 0}, {nullptr, 0, 2, -5, 0}};
    EXPECT_EQ(j1708.Service(), kNothingScheduled);  // before Init
    ASSERT_EQ(j1708.Init(receive, 0, none, 1), 0);
    EXPECT_EQ(j1708.Service(), kNothingScheduled);
    EXPECT_EQ(LastSent(0), 0);
    EXPECT_EQ(j1708.Init(receive, 0, none, 2), -114);
    stop = true;
    EXPECT_EQ(j1708.Service(), kNothingScheduled);
    // Shutdown withdraws the subscription, and the rows go with it.
    j1708.Shutdown();
    EXPECT_EQ(j1708.SendMessage(0), -2);
    const unsigned char data[1] = {1};
    EXPECT_EQ(j1708.UpdateMessageData(0, data, 1), -2);
    EXPECT_EQ(Commands(), (std::vector<std::int32_t>{3, 4}));
}

// A write that fails is reported, and a row it did not send keeps its cycle.
TEST_F(J1708Component, AFailedWriteIsReported) {
    J1708TransmitTableEntry transmit[1] = {{nullptr, 0, 0x82, 1000, 6}};
    ASSERT_EQ(j1708.Init(receive, 0, transmit, 1), 0);
    EXPECT_EQ(j1708.Service(), 1000);
    sink.result = -32;
    clock.Advance(400);
    EXPECT_EQ(j1708.SendMessage(0), -32);
    EXPECT_EQ(j1708.Service(), 600);
    J1708Message message{};
    message.Mid = 0x82;
    EXPECT_EQ(j1708.SendMessage(&message), -32);
}

TEST_F(J1708Component, ReplaySubscribesAgainOnlyWhileTheTablesAreRegistered) {
    J1708TransmitTableEntry none[1] = {};
    (void)j1708.Replay();  // before Init: nothing to restore
    ASSERT_EQ(j1708.Init(receive, 0, none, 0), 0);
    (void)j1708.Replay();
    j1708.Shutdown();
    (void)j1708.Replay();
    EXPECT_EQ(Commands(), (std::vector<std::int32_t>{3, 3, 4}));
}

TEST_F(J1708Component, NegativePeriodIsSentOnEveryPass) {
    J1708TransmitTableEntry transmit[2] = {{nullptr, 0, 1, -5, 0}, {nullptr, 0, 2, 50, 0}};
    ASSERT_EQ(j1708.Init(receive, 0, transmit, 2), 0);
    EXPECT_EQ(j1708.Service(), 50);
    for (int pass = 1; pass <= 3; ++pass) {
        clock.Advance(1);
        EXPECT_EQ(j1708.Service(), 50 - pass);
        EXPECT_EQ(LastSent(0), clock.NowMs());
    }
}

// Through the service thread: a 20 ms row paces the loop at 20 ms, not at
// the loop's 200 ms bound.
TEST_F(J1708Bus, TheServiceLoopSendsAShortPeriodRowAtItsPeriod) {
    ASSERT_TRUE(clock.AwaitWaits(1));  // the loop's first pass found nothing
    J1708ReceiveTableEntry receive[1] = {};
    J1708TransmitTableEntry transmit[1] = {{nullptr, 0, 0x33, 20, 0}};
    ASSERT_EQ(sdk.J1708Init(receive, 0, transmit, 1), 0);
    clock.Advance(200);
    ASSERT_TRUE(clock.AwaitWaits(2));
    for (std::size_t pass = 3; pass <= 5; ++pass) {
        clock.Advance(20);
        ASSERT_TRUE(clock.AwaitWaits(pass));
    }
    const auto waits = clock.WaitsBegun();
    EXPECT_EQ(waits[1], 20);
    EXPECT_EQ(waits[4], 20);
    ASSERT_TRUE(AwaitSent(5));  // the subscription and four sends
}

}  // namespace
