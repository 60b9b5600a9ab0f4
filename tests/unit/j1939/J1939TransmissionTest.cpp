// Sends on request, payload updates and cyclic sends of the component.
#include "J1939Fixture.h"

using namespace j1939test;
using CustomApplication::kNothingScheduled;
using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus2;

namespace {

class J1939Transmission : public J1939Component {
protected:
    // Payloads of the command-4 messages sent so far.
    std::vector<Bytes> Sends() const {
        std::vector<Bytes> sends;
        for (const auto& child : Sent()) {
            if (child.command == 4) sends.push_back(child.payload);
        }
        return sends;
    }
    static Bytes PayloadOf(const Bytes& send) { return Bytes(send.begin() + 20, send.end()); }
};

TEST_F(J1939Transmission, RowsAreSentFromTheirCAByUidAndIndex) {
    const Bytes three{0xa, 0xb, 0xc};
    ASSERT_EQ(Create(CANBus2, 0x80, {}, {TxRow({}, 0xFEF1, 0), TxRow(three, 0x1FECA, 0, 6, 0x17)}), 1);
    const std::size_t before = SentCount();
    EXPECT_EQ(j1939.SendMessage(1, 1), 0);
    EXPECT_EQ(j1939.SendMessage(1, 0), 0);
    EXPECT_EQ(j1939.SendMessage(1, -1), -2);
    EXPECT_EQ(j1939.SendMessage(1, 2), -2);
    EXPECT_EQ(j1939.SendMessage(2, 0), -2);
    const auto sends = Sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0], (Bytes{2, 0x80, 0x17, 6, 0xca, 0xfe, 0x01, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xa, 0xb,
                               0xc}));
    EXPECT_EQ(sends[1].size(), 20u);  // an empty row
    EXPECT_EQ(SentCount(), before + 2);
}

TEST_F(J1939Transmission, MessagesGoOutOnlyFromOwnCAsWithValidHeadersAndAtMost1785Bytes) {
    ASSERT_EQ(Create(CANBus1, 0x80), 1);
    const std::size_t before = SentCount();
    J1939Message message{};
    message.Bus = CANBus1;
    message.SourceAddress = 0x80;
    message.DestinationAddress = 0x21;
    message.Priority = 7;
    message.PGN = 0xEF00;
    message.Length = 2000;
    for (std::size_t i = 0; i < sizeof message.Data; ++i) message.Data[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(j1939.SendMessage(&message), 0);
    EXPECT_EQ(j1939.SendMessage(nullptr), -22);
    message.Bus = CANBus2;  // the address belongs to a CA on bus 1
    EXPECT_EQ(j1939.SendMessage(&message), -1);
    message.Bus = CANBus1;
    message.SourceAddress = 0x81;
    EXPECT_EQ(j1939.SendMessage(&message), -1);
    message.Bus = static_cast<CustomApplication::CoreTypes::CANBus>(9);  // no such bus
    EXPECT_EQ(j1939.SendMessage(&message), -22);
    // A priority above 7 or a PGN beyond 18 bits, which the platform always
    // refuses, is refused here and never sent.
    message.Bus = CANBus1;
    message.SourceAddress = 0x80;
    message.Priority = 8;
    EXPECT_EQ(j1939.SendMessage(&message), -22);
    message.Priority = 7;
    for (const std::uint32_t pgn : {0x40000u, 0x7FF01u}) {
        message.PGN = pgn;
        EXPECT_EQ(j1939.SendMessage(&message), -22) << pgn;
    }
    message.PGN = 0xEF00;
    // So is a CA whose transmit rows hold them.
    EXPECT_EQ(Create(CANBus1, 0x81, {}, {TxRow({1}, 0x40000, 100)}), -22);
    EXPECT_EQ(Create(CANBus1, 0x81, {}, {TxRow({1}, 0xFEF1, 100, 9)}), -22);

    EXPECT_EQ(SentCount(), before + 1);
    const auto sends = Sends();
    ASSERT_EQ(sends.size(), 1u);
    ASSERT_EQ(sends[0].size(), 20u + 1785u);
    EXPECT_EQ(Bytes(sends[0].begin(), sends[0].begin() + 10), (Bytes{1, 0x80, 0x21, 7, 0x00, 0xef, 0, 0, 0xf9, 0x06}));
    EXPECT_EQ(PayloadOf(sends[0]), Bytes(message.Data, message.Data + 1785));
}

TEST_F(J1939Transmission, ACaMissingFromThePlatformsListLostItsAddressAndSendsNoMore) {
    ASSERT_EQ(Create(CANBus1, 0x80, {}, {TxRow({1}, 0xFEF1, -1)}), 1);
    ASSERT_EQ(Create(CANBus1, 0x81, {}, {TxRow({2}, 0xFEF2, -1)}), 2);
    J1939Message message{};
    message.Bus = CANBus1;
    message.SourceAddress = 0x80;
    message.Length = 1;
    // The platform's list, unasked: 0x80 is gone, 0x81 holds its address.
    Deliver({0x01, 0x81}, 10);
    const std::size_t before = SentCount();
    EXPECT_EQ(j1939.SendMessage(1, 0), -99);
    EXPECT_EQ(j1939.SendMessage(&message), -99);
    j1939.Service();
    EXPECT_EQ(j1939.SendMessage(2, 0), 0);
    std::vector<std::uint8_t> payloads;
    for (const auto& send : Sends()) payloads.push_back(send.at(20));
    EXPECT_EQ(SentCount(), before + 2);
    EXPECT_EQ(std::vector<std::uint8_t>(payloads.end() - 2, payloads.end()), (std::vector<std::uint8_t>{2, 2}));
    // An empty list: no CA of this instance holds an address any more.
    Deliver({}, 10);
    message.SourceAddress = 0x81;
    EXPECT_EQ(j1939.SendMessage(&message), -99);
    EXPECT_EQ(j1939.SendMessage(2, 0), -99);
    EXPECT_EQ(SentCount(), before + 2);
}

TEST_F(J1939Transmission, UpdatesReplaceThePayloadOfLaterSends) {
    const Bytes four{1, 2, 3, 4};
    ASSERT_EQ(Create(CANBus1, 0x80, {}, {TxRow(four, 0xFEF1, 0)}), 1);
    const unsigned char two[] = {9, 8};
    const unsigned char three[] = {7, 6, 5};
    auto& row = *j1939.ControllerApplicationFromUid(1)->TransmitTable.at(0);

    EXPECT_EQ(j1939.UpdateMessageData(1, 0, two, 2), 0);
    EXPECT_EQ(j1939.SendMessage(1, 0), 0);
    EXPECT_EQ(j1939.UpdateMessageData(1, 0, three, 3), 0);
    EXPECT_EQ(j1939.SendMessage(1, 0), 0);
    // Refusals leave the payload alone.
    EXPECT_EQ(j1939.UpdateMessageData(1, 0, two, 0), -22);
    EXPECT_EQ(j1939.UpdateMessageData(1, 0, two, 1786), -22);
    EXPECT_EQ(j1939.UpdateMessageData(1, 0, nullptr, 1), -22);
    EXPECT_EQ(j1939.UpdateMessageData(1, 1, two, 2), -2);
    EXPECT_EQ(j1939.UpdateMessageData(2, 0, two, 2), -2);
    EXPECT_EQ(j1939.SendMessage(1, 0), 0);
    {
        CustomApplication::MutexLock guard(row.DataLock);
        EXPECT_EQ(row.Length, 3);
    }
    const Bytes longest(1785, 0x33);
    EXPECT_EQ(j1939.UpdateMessageData(1, 0, longest.data(), 1785), 0);
    EXPECT_EQ(j1939.SendMessage(1, 0), 0);

    const auto sends = Sends();
    ASSERT_EQ(sends.size(), 4u);
    EXPECT_EQ(PayloadOf(sends[0]), (Bytes{9, 8}));
    EXPECT_EQ(PayloadOf(sends[1]), (Bytes{7, 6, 5}));
    EXPECT_EQ(PayloadOf(sends[2]), (Bytes{7, 6, 5}));
    EXPECT_EQ(PayloadOf(sends[3]), longest);
}

// A write that fails is reported, and a row it did not send keeps its cycle.
TEST_F(J1939Transmission, AFailedWriteIsReported) {
    ASSERT_EQ(Create(CANBus1, 0x80, {}, {TxRow({1}, 0xFEF1, 100)}), 1);
    EXPECT_EQ(j1939.Service(), 100);
    wire.result = -32;
    clock.Advance(50);
    EXPECT_EQ(j1939.SendMessage(1, 0), -32);
    EXPECT_EQ(j1939.Service(), 50);
    J1939Message message{};
    message.Bus = CANBus1;
    message.SourceAddress = 0x80;
    EXPECT_EQ(j1939.SendMessage(&message), -32);
}

TEST_F(J1939Transmission, CyclicRowsAreSentWhenDueAndNegativePeriodsOnEveryPass) {
    EXPECT_EQ(j1939.Service(), kNothingScheduled);
    ASSERT_EQ(Create(CANBus1, 0x80, {}, {TxRow({1}, 0xFEF1, 150), TxRow({2}, 0xFEF2, 0), TxRow({3}, 0xFEF3, -1)}),
              1);
    const std::size_t before = SentCount();
    // Both cyclic rows are due at once; the 150 ms row is next in 150 ms.
    EXPECT_EQ(j1939.Service(), 150);
    clock.Advance(90);
    EXPECT_EQ(j1939.Service(), 60);
    clock.Advance(59);
    EXPECT_EQ(j1939.Service(), 1);
    clock.Advance(1);  // due now
    EXPECT_EQ(j1939.Service(), 150);

    EXPECT_EQ(SentCount(), before + 6);
    std::vector<std::uint8_t> payloads;
    for (const auto& send : Sends()) payloads.push_back(send.at(20));
    EXPECT_EQ(payloads, (std::vector<std::uint8_t>{1, 3, 3, 3, 1, 3}));
}

// Rows due together whose frames do not fit one message go out in as few
// writes as fit, none lost.
TEST_F(J1939Transmission, RowsDueTogetherGoOutInAsFewWritesAsFit) {
    const Bytes longest(1785, 0xAB);
    ASSERT_EQ(Create(CANBus1, 0x80, {}, std::vector<J1939TransmitTableEntry>(40, TxRow(longest, 0xFEF1, 100))), 1);
    wire.writes.clear();
    EXPECT_EQ(j1939.Service(), 100);
    ASSERT_EQ(Sends().size(), 40u);
    using PlatformServices::QRVMessage;
    const std::size_t perMessage = QRVMessage::kMaxPayloadBytes / (QRVMessage::kChildHeaderBytes + Sends()[0].size());
    ASSERT_LT(perMessage, 40u);
    EXPECT_EQ(wire.writes, (std::vector<std::size_t>{perMessage, 40 - perMessage}));
}

TEST_F(J1939Transmission, ASendOnRequestRestartsTheCycle) {
    ASSERT_EQ(Create(CANBus1, 0x80, {}, {TxRow({1}, 0xFEF1, 100)}), 1);
    EXPECT_EQ(j1939.Service(), 100);
    clock.Advance(60);
    ASSERT_EQ(j1939.SendMessage(1, 0), 0);
    EXPECT_EQ(j1939.Service(), 100);
    clock.Advance(99);
    EXPECT_EQ(j1939.Service(), 1);  // not yet: the cycle began with the send on request
    clock.Advance(1);
    EXPECT_EQ(j1939.Service(), 100);  // sent when due
    EXPECT_EQ(Sends().size(), 3u);
    // Once a stop is requested, no cyclic row goes out.
    stopRequested = true;
    clock.Advance(100);
    EXPECT_EQ(j1939.Service(), kNothingScheduled);
    EXPECT_EQ(Sends().size(), 3u);
}

}  // namespace
