// Creation and attach of controller applications by the component.
#include <algorithm>
#include <cerrno>
#include <future>
#include <numeric>
#include <thread>

#include "J1939Fixture.h"

using namespace j1939test;
using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus2;

namespace {

class J1939Creation : public J1939Component {};

TEST_F(J1939Creation, CreationSendsManagerCreationAndRequestThenSubscribesInKeyOrder) {
    // Modes 0, 1 and 5: the last is kept but never subscribed.
    const std::int32_t uid = Create(CANBus2, 0x80,
                                    {Row(0, 0xFEF1, 0x00, sink.Context(1)), Row(1, 0x0000, 0x17, sink.Context(2)),
                                     Row(5, 0x1234, 0x56, sink.Context(3))});
    ASSERT_EQ(uid, 1);
    const auto sent = Sent();
    ASSERT_EQ(SentCommands(), (std::vector<std::int32_t>{1, 6, 0, 3, 3}));
    EXPECT_EQ(sent[0].payload, (Bytes{2}));
    ASSERT_EQ(sent[1].payload.size(), 20u);
    EXPECT_EQ(sent[1].payload[0], 2);
    EXPECT_EQ(sent[1].payload[1], 0x80);
    EXPECT_EQ(Bytes(sent[1].payload.begin() + 4, sent[1].payload.begin() + 17),
              (Bytes{1, 2, 3, 4, 0x45, 0x23, 0x01, 0x00, 0xab, 0x02, 0x81, 5, 6}));
    EXPECT_EQ(sent[2].payload, (Bytes{10, 0}));
    // Key 0x17 (mode 1: PGN 0, source address) before key 0xFEF100 (mode 0: PGN).
    EXPECT_EQ(sent[3].payload, (Bytes{2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x17, 0, 0, 0}));
    EXPECT_EQ(sent[4].payload, (Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0xf1, 0xfe, 0, 0, 0, 0, 0, 0}));

    unsigned char address = 0;
    EXPECT_EQ(j1939.GetSourceAddressFromCA(uid, &address), 0);
    EXPECT_EQ(address, 0x80);
    EXPECT_EQ(j1939.GetSourceAddressFromCA(uid, nullptr), -22);
    EXPECT_EQ(j1939.GetSourceAddressFromCA(uid + 1, &address), -2);
}

TEST_F(J1939Creation, UidsCountFromOneAndFailuresUseNoneUp) {
    EXPECT_EQ(Create(CANBus1, 0x80), 1);
    EXPECT_EQ(Create(CANBus1, 0x80), -17);  // same bus and address, whatever the tables
    EXPECT_EQ(Create(CANBus1, 254), -22);
    EXPECT_EQ(Create(CANBus1, 253), 2);     // the highest address a CA may claim
    EXPECT_EQ(Create(CANBus2, 0x80), 3);    // same address on another bus
    EXPECT_EQ(j1939.ControllerApplicationFromUid(0), nullptr);
    EXPECT_NE(j1939.ControllerApplicationFromUid(3), nullptr);
}

TEST_F(J1939Creation, AttachTakesTheFirstStaticCAOfTheBus) {
    SetAnswers([](Answers& a) { a.staticList = {2, 0x44, 1, 0x80, 1, 0x81}; });
    const std::int32_t first = Attach(CANBus1, {Row(2, 0xFECA, 0x00, sink.Context(1))});
    ASSERT_EQ(first, 1);
    // Attaching twice is allowed and gives the same address again.
    ASSERT_EQ(Attach(CANBus1), 2);
    unsigned char address = 0;
    ASSERT_EQ(j1939.GetSourceAddressFromCA(first, &address), 0);
    EXPECT_EQ(address, 0x80);
    ASSERT_EQ(j1939.GetSourceAddressFromCA(2, &address), 0);
    EXPECT_EQ(address, 0x80);

    const auto sent = Sent();
    ASSERT_EQ(SentCommands(), (std::vector<std::int32_t>{0, 3, 0}));
    EXPECT_EQ(sent[0].payload, (Bytes{12, 0}));
    EXPECT_EQ(sent[1].payload, (Bytes{1, 0, 0, 0, 2, 0, 0, 0, 0xca, 0xfe, 0, 0, 0, 0, 0, 0}));
}

// A list without the CA answers no creation (it may come late for an
// earlier one): the creation waits on and fails at its deadline.
TEST_F(J1939Creation, AnswersWithoutTheCAGive131) {
    SetAnswers([](Answers& a) {
        a.reportCreated = false;
        a.extraPresent = {1, 0x81, 2, 0x80};  // other address, other bus
        a.staticList = {2, 0x44};
    });
    auto creation = std::async(std::launch::async, [&] { return Create(CANBus1, 0x80, {Row(0, 0xFEF1, 0, sink.Context(1))}); });
    // The list came with the request; the creation waits for a better one.
    ASSERT_TRUE(clock.AwaitWaits(1));
    clock.Advance(500);
    EXPECT_EQ(creation.get(), -131);
    EXPECT_EQ(Attach(CANBus1, {Row(0, 0xFEF1, 0, sink.Context(1))}), -131);
    // Nothing was subscribed and no uid was used; the failed creation was
    // withdrawn (7), the failed attach was not.
    EXPECT_EQ(SentCommands(), (std::vector<std::int32_t>{1, 6, 0, 7, 0}));
    EXPECT_EQ(j1939.ControllerApplications()->size(), 0u);
    SetAnswers([](Answers& a) { a.reportCreated = true; });
    EXPECT_EQ(Create(CANBus1, 0x80), 1);
}

TEST_F(J1939Creation, MalformedListReplyKeepsTheListAndAnswersNothing) {
    SetAnswers([](Answers& a) { a.staticList = {1, 0x80}; });
    ASSERT_EQ(Attach(CANBus1), 1);
    // An odd-length static list changes nothing and answers no attach.
    SetAnswers([](Answers& a) { a.staticList = {1, 0x90, 1}; });
    auto attach = std::async(std::launch::async, [&] { return Attach(CANBus1); });
    ASSERT_TRUE(clock.AwaitWaits(1));
    // The clock moves in steps until the attach gives up, at its deadline.
    const std::int64_t started = clock.NowMs();
    for (int step = 0; step < 100 && attach.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready;
         ++step) {
        clock.Advance(100);
    }
    EXPECT_EQ(attach.get(), -110);
    EXPECT_GE(clock.NowMs() - started, 500);
    EXPECT_EQ(j1939.PlatformCAList(true).size(), 1u);
}

// The platform may have made the CA without answering in time: the
// creation withdraws it, so that no CA holds the address unknown to the
// application.
TEST_F(J1939Creation, NoAnswerTimesOutAfter500MsAndWithdrawsTheCreation) {
    SetAnswers([](Answers& a) { a.answer = false; });
    auto creation = std::async(std::launch::async, [&] { return Create(CANBus1, 0x80, {Row(0, 1, 0, nullptr)}); });
    ASSERT_TRUE(clock.AwaitWaits(1));
    EXPECT_EQ(clock.WaitsBegun().back(), 500);
    clock.Advance(499);
    EXPECT_EQ(creation.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    clock.Advance(1);
    EXPECT_EQ(creation.get(), -110);
    EXPECT_EQ(SentCommands(), (std::vector<std::int32_t>{1, 6, 0, 7}));
    EXPECT_EQ(Sent().back().payload, (Bytes{1, 0x80}));
    EXPECT_EQ(j1939.ControllerApplications()->size(), 0u);
    SetAnswers([](Answers& a) { a.answer = true; });
    EXPECT_EQ(Create(CANBus1, 0x80), 1);
}

// A write that finds the connection closed (the instance shut down under
// the call) is a lost connection to the caller, not the socket's own code.
TEST_F(J1939Creation, AWriteThatFindsTheConnectionClosedGives107) {
    wire.result = -EPIPE;
    EXPECT_EQ(Create(CANBus1, 0x80), -107);
    wire.result = -ECONNRESET;
    EXPECT_EQ(Attach(CANBus1), -107);
    EXPECT_EQ(j1939.ControllerApplications()->size(), 0u);
}

TEST_F(J1939Creation, ArgumentsAreCheckedBeforeAnythingIsSent) {
    J1939ReceiveTableEntry rx[2] = {Row(0, 0xFEF1, 0, nullptr), Row(1, 0xFEF1, 0, nullptr)};
    const Bytes big(1786, 0);
    J1939TransmitTableEntry tx[1] = {TxRow(big, 1, 0)};
    J1939ReceiveTableEntry* noRx = nullptr;
    J1939TransmitTableEntry* noTx = nullptr;
    const auto bus1 = CANBus1;

    EXPECT_EQ(j1939.Create(bus1, 0x80, &name, noRx, 0, tx, 0, false), -22);
    EXPECT_EQ(j1939.Create(bus1, 0, nullptr, rx, 0, noTx, 0, true), -22);
    EXPECT_EQ(j1939.Create(static_cast<CANBus>(5), 0x80, &name, rx, 0, tx, 0, false), -22);
    EXPECT_EQ(j1939.Create(static_cast<CANBus>(-1), 0, nullptr, rx, 0, tx, 0, true), -22);
    EXPECT_EQ(j1939.Create(bus1, 0x80, nullptr, rx, 0, tx, 0, false), -22);
    EXPECT_EQ(j1939.Create(bus1, 255, &name, rx, 0, tx, 0, false), -22);
    // The receive table is copied first: its duplicate key wins over the long row.
    EXPECT_EQ(j1939.Create(bus1, 0x80, &name, rx, 2, tx, 1, false), -114);
    EXPECT_EQ(j1939.Create(bus1, 0x80, &name, rx, 1, tx, 1, false), -7);
    // Rows that cannot be copied.
    J1939TransmitTableEntry negative = TxRow({}, 1, 0);
    negative.Length = -1;
    EXPECT_EQ(j1939.Create(bus1, 0x80, &name, rx, 1, &negative, 1, false), -22);
    J1939TransmitTableEntry noData = TxRow({}, 1, 0);
    noData.Length = 4;
    EXPECT_EQ(j1939.Create(bus1, 0, nullptr, rx, 1, &noData, 1, true), -22);

    EXPECT_EQ(SentCount(), 0u);
    // Two mode-1 rows that differ in their source address only are fine, and
    // a 1785-byte row is the longest accepted.
    rx[0] = Row(1, 0, 0x10, nullptr);
    rx[1] = Row(1, 0, 0x11, nullptr);
    const Bytes longest(1785, 7);
    tx[0] = TxRow(longest, 1, 0);
    EXPECT_EQ(j1939.Create(bus1, 0x80, &name, rx, 2, tx, 1, false), 1);
    // An attach needs no NAME and ignores the address.
    SetAnswers([](Answers& a) { a.staticList = {1, 0x22}; });
    EXPECT_EQ(j1939.Create(bus1, 0x80, nullptr, rx, 0, tx, 0, true), 2);
}

TEST_F(J1939Creation, EmptyTablesMakeACAWithoutSubscriptions) {
    ASSERT_EQ(Create(CANBus1, 0x10), 1);
    EXPECT_EQ(SentCommands(), (std::vector<std::int32_t>{1, 6, 0}));
}

TEST_F(J1939Creation, ConcurrentCreationsEachGetTheAnswerToTheirOwnRequest) {
    // The platform reports only the CA of the latest creation request, so a
    // creation judged by another one's reply would fail with -131.
    SetAnswers([](Answers& a) { a.onlyLatest = true; });
    constexpr int kThreads = 4;
    constexpr int kEach = 5;
    std::vector<std::future<std::vector<std::int32_t>>> creators;
    for (int t = 0; t < kThreads; ++t) {
        creators.push_back(std::async(std::launch::async, [this, t] {
            std::vector<std::int32_t> uids;
            for (int i = 0; i < kEach; ++i) uids.push_back(Create(CANBus1, static_cast<std::uint8_t>(t * 16 + i)));
            return uids;
        }));
    }
    std::vector<std::int32_t> all;
    for (auto& creator : creators) {
        const auto uids = creator.get();
        all.insert(all.end(), uids.begin(), uids.end());
    }
    std::sort(all.begin(), all.end());
    std::vector<std::int32_t> expected(kThreads * kEach);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(all, expected);
}

class J1939Gate : public testsupport::CoreFixture {};

TEST_F(J1939Gate, EveryGatedOperationIsRefusedInAModeWithoutJ1939) {
    ASSERT_EQ(InitApp(-1), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    J1939Name name{};
    J1939ReceiveTableEntry rx[1];
    J1939TransmitTableEntry tx[1];
    J1939Message message{};
    const unsigned char data[1] = {1};
    EXPECT_EQ(sdk.J1939CreateCA(CANBus1, 0x80, &name, rx, 0, tx, 0), -13);
    EXPECT_EQ(sdk.J1939AttachToPlatformCA(CANBus1, rx, 0, tx, 0), -13);
    EXPECT_EQ(sdk.J1939SendMessage(1, 0), -13);
    EXPECT_EQ(sdk.J1939SendMessage(&message), -13);
    EXPECT_EQ(sdk.J1939UpdateMessageData(1, 0, data, 1), -13);
    EXPECT_EQ(sdk.J1939RegisterReceiveAllMessages(1, nullptr, nullptr), -13);
    unsigned char address = 0;
    EXPECT_EQ(sdk.J1939GetSourceAddressFromCA(1, &address), -2);  // not gated
    sdk.Shutdown();
    for (const auto& message : platform.Messages()) EXPECT_NE(message.category, 13);
}

}  // namespace
