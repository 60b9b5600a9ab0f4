// Withdrawal of subscriptions and CAs by the component, and what is left after it.
#include <future>

#include "J1939Fixture.h"

using namespace j1939test;
using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus2;

namespace {

class J1939Shutdown : public J1939Component {};

TEST_F(J1939Shutdown, WithdrawsEachCAsSubscriptionsThenRemovesIt) {
    ASSERT_EQ(Create(CANBus2, 0x80,
                     {Row(2, 0xFEF1, 0x17, nullptr), Row(4, 0xFEF2, 0, nullptr), Row(0, 0xFEF1, 0, nullptr)},
                     {TxRow({1, 2}, 0xFEF5, 0)}),
              1);
    SetAnswers([](Answers& a) { a.staticList = {1, 0x44}; });
    ASSERT_EQ(Attach(CANBus1, {Row(1, 0, 0x20, nullptr)}), 2);
    ASSERT_EQ(j1939.RegisterReceiveAllMessages(2, nullptr, nullptr), 0);
    const std::size_t before = Sent().size();
    ASSERT_EQ(before, 8u);

    j1939.Shutdown();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), before + 5);
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
    const auto held = j1939.ControllerApplicationFromUid(1);
    j1939.Shutdown();
    const std::size_t after = SentCount();
    EXPECT_EQ(j1939.ControllerApplicationFromUid(1), nullptr);
    EXPECT_EQ(j1939.Service(), CustomApplication::kNothingScheduled);
    EXPECT_EQ(j1939.SendMessage(1, 0), -2);
    J1939Message message{};
    message.Bus = CANBus1;
    message.SourceAddress = 0x80;
    EXPECT_EQ(j1939.SendMessage(&message), -1);
    const unsigned char data[1] = {1};
    EXPECT_EQ(j1939.UpdateMessageData(1, 0, data, 1), -2);
    EXPECT_EQ(j1939.RegisterReceiveAllMessages(1, nullptr, nullptr), -2);
    unsigned char address = 0;
    EXPECT_EQ(j1939.GetSourceAddressFromCA(1, &address), -2);
    // A creation is asked for, never published, and withdrawn.
    EXPECT_EQ(Create(CANBus1, 0x81, {Row(0, 0xFEF1, 0, sink.Context(2))}), -13);
    EXPECT_EQ(SentCommands().back(), 7);
    // A record that still arrives reaches nobody.
    Deliver(ReceivedRecord(1, 0x20, 0xff, 0xFEF1, {1}));
    EXPECT_TRUE(sink.Tags().empty());
    EXPECT_EQ(SentCount(), after + 4);
    // A CA still held by a reader outlives the list; its payload is gone.
    CustomApplication::MutexLock guard(held->TransmitTable.at(0)->DataLock);
    EXPECT_FALSE(held->TransmitTable.at(0)->HasData);
}

TEST_F(J1939Shutdown, WaitsForASendUnderWayAndRefusesNewOnes) {
    ASSERT_EQ(Create(CANBus1, 0x80, {}, {TxRow({1}, 0xFEF1, 0)}), 1);
    // A send that the sink holds back, however long it takes, holds back
    // the shutdown's withdrawals.
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    wire.onSend = [&, released](const testsupport::FakeSink::Sent& sent) {
        if (sent.command != 4) return;
        entered.set_value();
        released.wait();
    };
    auto send = std::async(std::launch::async, [&] { return j1939.SendMessage(1, 0); });
    entered.get_future().wait();
    auto closed = std::async(std::launch::async, [&] { j1939.Shutdown(); });
    EXPECT_EQ(closed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(send.get(), 0);
    closed.get();
    EXPECT_EQ(SentCommands(), (std::vector<std::int32_t>{1, 6, 0, 4, 7}));
    EXPECT_EQ(j1939.SendMessage(1, 0), -2);
}

}  // namespace
