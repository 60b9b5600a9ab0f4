// Decoding of what the platform sends, and delivery to rows and receive-all callbacks.
#include "J1939Fixture.h"

using namespace j1939test;
using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus2;
using PlatformCA = CustomApplication::Internal::J1939::PlatformCA;

namespace {

class J1939Reception : public J1939Component {};

TEST_F(J1939Reception, CAListRepliesDropUnknownBusesAndMalformedOnesChangeNothing) {
    Deliver({0x01, 0x80, 0x02, 0x80, 0x09, 0x26}, 10);
    const std::vector<PlatformCA> present{{CANBus1, 0x80}, {CANBus2, 0x80}};
    EXPECT_EQ(j1939.PlatformCAList(false), present);

    Deliver({}, 10);  // no data
    EXPECT_EQ(j1939.PlatformCAList(false), present);

    Deliver({0x00, 0x10}, 12);
    Deliver({0x01, 0x20, 0x01}, 12);  // odd length
    EXPECT_EQ(j1939.PlatformCAList(true), (std::vector<PlatformCA>{{CustomApplication::CoreTypes::CANBus0, 0x10}}));
    EXPECT_EQ(j1939.PlatformCAList(false), present);
}

TEST_F(J1939Reception, ReceivedRecordsAreZeroFilledAndTheirLengthCutToWhatCame) {
    ASSERT_EQ(Create(CANBus1, 0x80, {Row(0, 0xFEF1, 0, sink.Context(1)), Row(0, 0x1234, 0, sink.Context(2))}), 1);
    const Bytes eight{1, 2, 3, 4, 5, 6, 7, 8};

    Deliver(ReceivedRecord(1, 0x20, 0x80, 0xFEF1, eight, 3));
    // Six bytes: the PGN's upper half and the length are zero.
    Deliver({1, 0x21, 0xff, 6, 0xf1, 0xfe});
    // A length of 10 with four payload bytes delivers the four.
    Bytes claimsMore = ReceivedRecord(1, 0x22, 0x80, 0xFEF1, {9, 8, 7, 6});
    claimsMore[8] = 10;
    Deliver(claimsMore);
    // More than the record holds: 1800 bytes are taken, 1788 of them payload.
    Bytes oversized = ReceivedRecord(1, 0x23, 0x80, 0x1234, Bytes(1900, 0x5a));
    Deliver(oversized);

    const auto deliveries = sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 4u);
    EXPECT_EQ(deliveries[0], (Delivery{1, CANBus1, 0xFEF1, 0x20, 0x80, 3, eight}));
    EXPECT_EQ(deliveries[1], (Delivery{1, CANBus1, 0xFEF1, 0x21, 0xff, 6, {}}));
    EXPECT_EQ(deliveries[2].data, (Bytes{9, 8, 7, 6}));
    EXPECT_EQ(deliveries[3].tag, 2);
    EXPECT_EQ(deliveries[3].data, Bytes(1788, 0x5a));

    // An unknown bus reaches no CA; a record without data is dropped.
    Deliver(ReceivedRecord(7, 0x20, 0xff, 0xFEF1, eight));
    Deliver({});
    EXPECT_EQ(sink.Deliveries().size(), 4u);
}

TEST_F(J1939Reception, RowsMatchByModeInKeyOrder) {
    // Keys: 0x17 (mode 1), 0xFEF100 (mode 0), 0xFEF117 (mode 2), 0xFEF120
    // (mode 2, other source), 0xFEF133 (mode 4), and a PGN whose 25th bit is
    // lost in its key, which shares the key range of PGN 0xFEF1.
    ASSERT_EQ(Create(CANBus1, 0x80,
                     {Row(0, 0xFEF1, 0x00, sink.Context(1)), Row(1, 0x0000, 0x17, sink.Context(2)),
                      Row(2, 0xFEF1, 0x17, sink.Context(3)), Row(2, 0xFEF1, 0x20, sink.Context(4)),
                      Row(4, 0xFEF1, 0x33, sink.Context(5)), Row(0, 0x100FEF1, 0x01, sink.Context(6))}),
              1);
    Deliver(ReceivedRecord(1, 0x17, 0x80, 0xFEF1, {1}));
    EXPECT_EQ(sink.Tags(), (std::vector<int>{2, 1, 3}));

    sink.Clear();
    Deliver(ReceivedRecord(1, 0x33, 0x80, 0xFEF1, {1}));  // mode 4 never matches
    EXPECT_EQ(sink.Tags(), (std::vector<int>{1}));

    sink.Clear();
    Deliver(ReceivedRecord(1, 0x17, 0x80, 0xFEF2, {1}));  // source address only
    EXPECT_EQ(sink.Tags(), (std::vector<int>{2}));

    sink.Clear();
    Deliver(ReceivedRecord(1, 0x01, 0x80, 0x100FEF1, {1}));
    EXPECT_EQ(sink.Tags(), (std::vector<int>{6}));
}

TEST_F(J1939Reception, DestinationSelectsTheCAsAndTheGlobalAddressReachesAllOfTheBus) {
    ASSERT_EQ(Create(CANBus1, 0x80, {Row(0, 0xFEF1, 0, sink.Context(1))}), 1);
    ASSERT_EQ(Create(CANBus1, 0x81, {Row(0, 0xFEF1, 0, sink.Context(2))}), 2);
    ASSERT_EQ(Create(CANBus2, 0x80, {Row(0, 0xFEF1, 0, sink.Context(3))}), 3);
    ASSERT_EQ(j1939.RegisterReceiveAllMessages(1, &Sink::Callback, sink.Context(10)), 0);

    Deliver(ReceivedRecord(1, 0x20, 0xff, 0xFEF1, {1}));
    EXPECT_EQ(sink.Tags(), (std::vector<int>{1, 2}));
    sink.Clear();
    Deliver(ReceivedRecord(1, 0x20, 0x81, 0xFEF1, {1}));
    EXPECT_EQ(sink.Tags(), (std::vector<int>{2}));
    sink.Clear();
    // No CA has 0x82: neither rows nor receive-all callbacks hear it.
    Deliver(ReceivedRecord(1, 0x20, 0x82, 0xFEF1, {1}));
    Deliver(ReceivedRecord(1, 0x20, 0x82, 0xAAAA, {1}));
    EXPECT_TRUE(sink.Tags().empty());
}

TEST_F(J1939Reception, ReceiveAllTakesWhatNoRowOfTheCADelivered) {
    // A row without a callback is subscribed, but does not count as a match.
    ASSERT_EQ(Create(CANBus1, 0x80,
                     {Row(0, 0xFEF1, 0, sink.Context(1)), Row(0, 0xFEF2, 0, nullptr, /*withCallback=*/false)}),
              1);
    ASSERT_EQ(j1939.RegisterReceiveAllMessages(1, &Sink::Callback, sink.Context(10)), 0);
    EXPECT_EQ(j1939.RegisterReceiveAllMessages(2, &Sink::Callback, sink.Context(10)), -2);

    Deliver(ReceivedRecord(1, 0x20, 0x80, 0xFEF1, {1}));
    Deliver(ReceivedRecord(1, 0x20, 0x80, 0xFEF2, {2}));
    Deliver(ReceivedRecord(1, 0x20, 0xff, 0xFEF3, {3}));
    EXPECT_EQ(sink.Tags(), (std::vector<int>{1, 10, 10}));

    // A new registration replaces callback and context together; a null
    // callback subscribes but hears nothing.
    sink.Clear();
    ASSERT_EQ(j1939.RegisterReceiveAllMessages(1, &Sink::Callback, sink.Context(11)), 0);
    Deliver(ReceivedRecord(1, 0x20, 0x80, 0xFEF3, {3}));
    ASSERT_EQ(j1939.RegisterReceiveAllMessages(1, nullptr, sink.Context(12)), 0);
    Deliver(ReceivedRecord(1, 0x20, 0x80, 0xFEF3, {3}));
    EXPECT_EQ(sink.Tags(), (std::vector<int>{11}));

    // The first registration sent a mode-3 subscription of the CA's bus; the
    // later ones only replaced the callback (nothing is subscribed twice).
    const auto sent = Sent();
    ASSERT_EQ(SentCommands(), (std::vector<std::int32_t>{1, 6, 0, 3, 3, 3}));
    EXPECT_EQ(sent[5].payload, (Bytes{1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
