// Withdrawal of subscriptions and CAs, and what is left after it.
#include <future>

#include "J1939Fixture.h"

using namespace j1939test;
using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus2;

namespace {

class J1939Shutdown : public J1939Fixture {};

TEST_F(J1939Shutdown, WithdrawsEachCAsSubscriptionsThenRemovesIt) {
    ASSERT_EQ(Create(CANBus2, 0x80,
                     {Row(2, 0xFEF1, 0x17, nullptr), Row(4, 0xFEF2, 0, nullptr), Row(0, 0xFEF1, 0, nullptr)},
                     {TxRow({1, 2}, 0xFEF5, 0)}),
              1);
    SetAnswers([](Answers& a) { a.staticList = {1, 0x44}; });
    ASSERT_EQ(Attach(CANBus1, {Row(1, 0, 0x20, nullptr)}), 2);
    ASSERT_EQ(sdk.J1939RegisterReceiveAllMessages(2, nullptr, nullptr), 0);
    ASSERT_TRUE(platform.AwaitMessages(8));
    const std::size_t before = Sent().size();
    ASSERT_EQ(before, 8u);

    sdk.Shutdown();
    ASSERT_TRUE(platform.AwaitMessages(before + 5));
    const auto sent = Sent();
    std::vector<std::int32_t> commands;
    for (std::size_t i = before; i < sent.size(); ++i) commands.push_back(sent[i].command);
    // Ascending key order, mode 4 left out; the mode-3 subscription stays.
    EXPECT_EQ(commands, (std::vector<std::int32_t>{11, 11, 7, 11, 7}));
    EXPECT_EQ(sent[before].payload, sent[3].payload);      // key 0xFEF100
    EXPECT_EQ(sent[before + 1].payload, sent[4].payload);  // key 0xFEF117
    EXPECT_EQ(sent[before + 2].payload, (Bytes{2, 0x80}));
    EXPECT_EQ(sent[before + 3].payload, (Bytes{1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0}));
    EXPECT_EQ(sent[before + 4].payload, (Bytes{1, 0x44}));
}

TEST_F(J1939Shutdown, NothingIsLeftToAddressAfterwards) {
    ASSERT_EQ(Create(CANBus1, 0x80, {Row(0, 0xFEF1, 0, sink.Context(1))}, {TxRow({1}, 0xFEF1, 10)}), 1);
    const auto held = Private().j1939.ControllerApplicationFromUid(1);
    sdk.Shutdown();
    EXPECT_EQ(Private().j1939.ControllerApplicationFromUid(1), nullptr);
    EXPECT_EQ(Private().J1939Service(), CustomApplication::kNothingScheduled);
    // The facade refuses every operation that needs the platform; behind it
    // nothing is left either.
    EXPECT_EQ(sdk.J1939SendMessage(1, 0), -13);
    EXPECT_EQ(Private().J1939SendMessage(1, 0), -2);
    J1939Message message{};
    message.Bus = CANBus1;
    message.SourceAddress = 0x80;
    EXPECT_EQ(Private().J1939SendMessage(&message), -1);
    const unsigned char data[1] = {1};
    EXPECT_EQ(Private().J1939UpdateMessageData(1, 0, data, 1), -2);
    EXPECT_EQ(Private().J1939RegisterReceiveAllMessages(1, nullptr, nullptr), -2);
    unsigned char address = 0;
    EXPECT_EQ(sdk.J1939GetSourceAddressFromCA(1, &address), -2);
    // A record that still arrives reaches nobody, and the uid counter was kept.
    Deliver(ReceivedRecord(1, 0x20, 0x80, 0xFEF1, {1}));
    EXPECT_TRUE(sink.Tags().empty());
    EXPECT_EQ(Private().j1939.NextCAUid, 2);
    // A CA still held by a reader outlives the list; its payload is gone.
    CustomApplication::MutexLock guard(held->TransmitTable.at(0)->DataLock);
    EXPECT_FALSE(held->TransmitTable.at(0)->HasData);
}

struct ShutdownFromCallback {
    Sink* sink;
    CustomApplication::TarvexInterface* sdk;
};

void RecordAndShutDown(void* context, CANBus bus, unsigned int pgn, unsigned char source, unsigned char destination,
                       unsigned char priority, const unsigned char* data, unsigned short length) {
    auto* state = static_cast<ShutdownFromCallback*>(context);
    Sink::Tag tag{state->sink, 1};
    Sink::Callback(&tag, bus, pgn, source, destination, priority, data, length);
    state->sdk->Shutdown();
}

TEST_F(J1939Shutdown, NoCallbackRunsAfterACallbackShutTheInstanceDown) {
    ShutdownFromCallback state{&sink, &sdk};
    J1939ReceiveTableEntry rx[2] = {{0xFEF1, 0, 0, &RecordAndShutDown, &state}, Row(2, 0xFEF1, 0x20, sink.Context(2))};
    J1939TransmitTableEntry tx[1];
    ASSERT_EQ(sdk.J1939CreateCA(CANBus1, 0x80, &name, rx, 2, tx, 0), 1);
    ASSERT_EQ(Create(CANBus1, 0x81, {Row(0, 0xFEF1, 0, sink.Context(3))}), 2);
    // Both rows of the first CA and the row of the second match, in that
    // order; the first callback shuts down.
    ASSERT_EQ(platform.Send(kAddress, 13, 5, ReceivedRecord(1, 0x20, 0xff, 0xFEF1, {1})), 0);
    ASSERT_TRUE(sink.Await(1));
    sdk.Shutdown();  // joins the listener
    EXPECT_EQ(sink.Tags(), (std::vector<int>{1}));
}

TEST(J1939Close, WaitsForWritesUnderWayAndRefusesNewOnes) {
    CustomApplication::Internal::J1939 j1939;
    ASSERT_TRUE(j1939.BeginWrite());
    auto closed = std::async(std::launch::async, [&] {
        j1939.Close();
        j1939.AwaitWrites();
    });
    // The write under way holds the close back, however long it takes.
    EXPECT_EQ(closed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    j1939.EndWrite();
    ASSERT_EQ(closed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(j1939.BeginWrite());
    EXPECT_EQ(j1939.Publish(std::make_shared<CustomApplication::Internal::J1939::J1939ControllerApplication>()), 0);
    EXPECT_TRUE(j1939.ControllerApplications()->empty());
}

}  // namespace
