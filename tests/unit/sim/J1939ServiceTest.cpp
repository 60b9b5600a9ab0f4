#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <utility>

#include "j1939/J1939Codec.h"
#include "SimFixture.h"

namespace {

using namespace simtest;
using namespace gatewaysim;
using Pairs = std::vector<std::pair<int, int>>;

Bytes NameRecord(const NameFields& f) {
    Bytes b(16, 0);
    b[0] = f.arbitraryAddressCapable;
    b[1] = f.industryGroup;
    b[2] = f.vehicleSystemInstance;
    b[3] = f.vehicleSystem;
    Put32(b, 4, f.identityNumber);
    Put16(b, 8, f.manufacturerCode);
    b[10] = f.function;
    b[11] = f.functionInstance;
    b[12] = f.ecuInstance;
    return b;
}

NameFields Identity(std::uint32_t identity, std::uint8_t industryGroup = 0) {
    NameFields f;
    f.identityNumber = identity;
    f.industryGroup = industryGroup;
    return f;
}

Pairs AsPairs(const Bytes& payload) {
    Pairs pairs;
    for (std::size_t i = 0; i + 1 < payload.size(); i += 2) pairs.emplace_back(payload[i], payload[i + 1]);
    return pairs;
}

// What the library does to create a CA: interface manager, creation, then
// the list of CAs present. Returns that list.
Pairs CreateCa(RawApp& app, std::uint8_t bus, std::uint8_t address, const NameFields& name) {
    app.Send(kCategoryJ1939, j1939::kCmdInterfaceManager, Bytes{bus});
    Bytes create(4, 0);
    create[0] = bus;
    create[1] = address;
    const Bytes record = NameRecord(name);
    create.insert(create.end(), record.begin(), record.end());
    app.Send(kCategoryJ1939, j1939::kCmdCreateCA, create);
    const std::size_t before = app.Of(kCategoryJ1939, j1939::kCmdCAsPresent).size();
    app.Send(kCategoryJ1939, j1939::kCmdRequest, Bytes{10, 0});
    const auto replies = app.AwaitCount(kCategoryJ1939, j1939::kCmdCAsPresent, before + 1);
    if (replies.size() < before + 1) return {{-1, -1}};
    return AsPairs(replies.back().payload);
}

Pairs Request(RawApp& app, std::uint16_t request, std::int32_t replyCommand) {
    const std::size_t before = app.Of(kCategoryJ1939, replyCommand).size();
    Bytes b;
    Put16(b, 0, request);
    app.Send(kCategoryJ1939, j1939::kCmdRequest, b);
    const auto replies = app.AwaitCount(kCategoryJ1939, replyCommand, before + 1);
    if (replies.size() < before + 1) return {{-1, -1}};
    return AsPairs(replies.back().payload);
}

Bytes J1939Subscription(std::uint8_t bus, std::uint32_t mode, std::uint32_t pgn, std::uint8_t address) {
    Bytes b(16, 0);
    b[0] = bus;
    Put32(b, 4, mode);
    Put32(b, 8, pgn);
    b[12] = address;
    return b;
}

Bytes SendRecord(std::uint8_t bus, std::uint8_t source, std::uint8_t destination, std::uint8_t priority,
                 std::uint32_t pgn, const Bytes& data) {
    Bytes b(20, 0);
    b[0] = bus;
    b[1] = source;
    b[2] = destination;
    b[3] = priority;
    Put32(b, 4, pgn);
    Put16(b, 8, static_cast<std::uint16_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes CanSubscription(std::uint8_t bus) {
    Bytes b(12, 0);
    b[0] = bus;
    return b;
}

class J1939ServiceTest : public SimTest {};

TEST_F(J1939ServiceTest, NamesArePackedInTheStandardBitLayout) {
    NameFields f;
    f.arbitraryAddressCapable = 1;
    f.industryGroup = 2;
    f.vehicleSystemInstance = 3;
    f.vehicleSystem = 4;
    f.identityNumber = 0x12345;
    f.manufacturerCode = 0x123;
    f.function = 0x81;
    f.functionInstance = 5;
    f.ecuInstance = 6;
    EXPECT_EQ(PackName(f), 0xA308812E24612345ull);
    const NameFields back = UnpackName(0xA308812E24612345ull);
    EXPECT_EQ(back.identityNumber, 0x12345u);
    EXPECT_EQ(back.manufacturerCode, 0x123u);
    EXPECT_EQ(back.function, 0x81u);
    EXPECT_EQ(back.industryGroup, 2u);
    // Values wider than their field are cut to it, never spill into the next.
    NameFields wide;
    wide.identityNumber = 0xFFFFFFFF;
    wide.ecuInstance = 0xFF;
    EXPECT_EQ(PackName(wide), 0x1FFFFFull | (7ull << 32));
}

TEST_F(J1939ServiceTest, IdentifiersCarryPriorityPgnAndAddresses) {
    J1939Header h;
    h.priority = 6;
    h.pgn = 0xFEF1;
    h.source = 0x20;
    h.destination = 0x33;  // a PDU2 message goes to everyone
    EXPECT_EQ(ComposeId(h), 0x18FEF120u);
    const J1939Header pdu2 = DecomposeId(0x18FEF120u);
    EXPECT_EQ(pdu2.pgn, 0xFEF1u);
    EXPECT_EQ(pdu2.destination, 255u);
    h.pgn = 0xEAFF;  // PDU1: the low byte is the destination
    h.priority = 3;
    EXPECT_EQ(ComposeId(h), 0x0CEA3320u);
    const J1939Header pdu1 = DecomposeId(0x0DEA3320u);  // data page set
    EXPECT_EQ(pdu1.pgn, 0x1EA00u);
    EXPECT_EQ(pdu1.destination, 0x33u);
    EXPECT_EQ(pdu1.source, 0x20u);
    EXPECT_EQ(pdu1.priority, 3u);
}

TEST_F(J1939ServiceTest, AContestedAddressGoesToTheLowerName) {
    // Each loss is an event of the run too (seen until the simulator ends
    // with the fixture).
    struct Lost {
        std::mutex lock;
        std::vector<std::string> details;
    };
    const auto lost = std::make_shared<Lost>();
    options_.event = [lost](const gatewaysim::report::Event& event) {
        std::lock_guard<std::mutex> guard(lost->lock);
        if (event.kind == "address-lost") lost->details.push_back(event.detail);
    };
    StartSim();
    RawApp& watcher = Connect(90);
    watcher.Send(kCategoryCan, can::kCmdSubscribe, CanSubscription(1));
    watcher.Sync();
    RawApp& high = Connect(100);
    RawApp& low = Connect(101);
    RawApp& late = Connect(102);

    // A higher field outweighs every lower one: industry group 1 with a small
    // identity number is above industry group 0 with the largest one.
    EXPECT_EQ(CreateCa(high, 1, 0x80, Identity(5, 1)), (Pairs{{1, 0x80}}));
    EXPECT_EQ(CreateCa(low, 1, 0x80, Identity(0x1FFFFF, 0)), (Pairs{{1, 0x80}}));
    EXPECT_EQ(Request(high, 10, j1939::kCmdCAsPresent), Pairs{});  // lost its address
    EXPECT_EQ(CreateCa(late, 1, 0x80, Identity(0x1FFFFF, 0)), Pairs{});  // equal NAME: the holder keeps it
    EXPECT_TRUE(AwaitReport("application 101 (NAME 00000000001FFFFF) took can1 address 80"));
    EXPECT_TRUE(AwaitReport("application 102 (NAME 00000000001FFFFF) lost the contest for can1 address 80"));
    {
        std::lock_guard<std::mutex> guard(lost->lock);
        const std::vector<std::string> expected = {
            "can1 address 80: a CA of application 100 (NAME 1000000000000005) lost it to application 101",
            "can1 address 80: application 102 (NAME 00000000001FFFFF) lost the contest to NAME 00000000001FFFFF"};
        EXPECT_EQ(lost->details, expected);
    }
    // Another address on the same bus, and the same address on another bus, are free.
    EXPECT_EQ(CreateCa(high, 1, 0x81, Identity(5, 1)), (Pairs{{1, 0x81}}));
    EXPECT_EQ(CreateCa(high, 2, 0x80, Identity(5, 1)), (Pairs{{1, 0x81}, {2, 0x80}}));

    // The claims were on the bus: address claimed from the winner, cannot
    // claim from the null address for the loser, the NAME as data.
    watcher.Sync();
    std::vector<std::uint32_t> ids;
    for (const Received& r : watcher.Of(kCategoryCan, can::kCmdReceived)) ids.push_back(Get32(r.payload, 0));
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{0x18EEFF80, 0x18EEFF80, 0x18EEFFFE, 0x18EEFFFE, 0x18EEFF81}));
    const Bytes claim = watcher.Of(kCategoryCan, can::kCmdReceived)[1].payload;
    EXPECT_EQ(Bytes(claim.begin() + 8, claim.end()), (Bytes{0xFF, 0xFF, 0x1F, 0, 0, 0, 0, 0}));

    // The winner leaves: its address is free, and the earlier loser does not
    // take it back by itself.
    apps_[2]->Close();
    ASSERT_TRUE(AwaitReport("application 101 disconnected"));
    EXPECT_EQ(Request(high, 10, j1939::kCmdCAsPresent), (Pairs{{1, 0x81}, {2, 0x80}}));
    EXPECT_EQ(CreateCa(late, 1, 0x80, Identity(0x1FFFFF, 7)), (Pairs{{1, 0x80}}));
}

TEST_F(J1939ServiceTest, StaticCasAreListedAndDefendTheirAddresses) {
    options_.staticCas = {{1, 0x80, 0x80}, {1, 0x81, 0x81}, {2, 0x90, 0xFFFFFFFFFFFFFFFFull}};
    StartSim();
    RawApp& a = Connect(100);
    EXPECT_EQ(Request(a, 12, j1939::kCmdStaticCAs), (Pairs{{1, 0x80}, {1, 0x81}, {2, 0x90}}));
    EXPECT_EQ(Request(a, 10, j1939::kCmdCAsPresent), Pairs{});

    // A static CA with a low NAME keeps its address; one with the highest
    // NAME yields it, and claims it again when the application leaves.
    EXPECT_EQ(CreateCa(a, 1, 0x80, Identity(1000)), Pairs{});
    EXPECT_EQ(CreateCa(a, 2, 0x90, Identity(1000)), (Pairs{{2, 0x90}}));
    EXPECT_EQ(Request(a, 12, j1939::kCmdStaticCAs), (Pairs{{1, 0x80}, {1, 0x81}}));
    EXPECT_NE(Run("list").text.find("static CA can2 address 90 NAME FFFFFFFFFFFFFFFF (lost its address)"),
              std::string::npos);

    // An attached application removes the static CA when it ends: nothing
    // happens to it. Removing what is not there is reported.
    a.Send(kCategoryJ1939, j1939::kCmdRemoveCA, Bytes{1, 0x81});
    a.Send(kCategoryJ1939, j1939::kCmdRemoveCA, Bytes{1, 0x55});
    a.Send(kCategoryJ1939, 99, Bytes{});
    a.Send(kCategoryJ1939, j1939::kCmdRequest, Bytes{11, 0});
    EXPECT_EQ(Request(a, 12, j1939::kCmdStaticCAs), (Pairs{{1, 0x80}, {1, 0x81}}));
    EXPECT_EQ(CountReports("J1939 command 7 refused"), 1u);
    EXPECT_TRUE(AwaitReport("J1939 command 99 refused: unknown command"));
    EXPECT_TRUE(AwaitReport("J1939 command 0 refused: unknown request 11"));

    // Its own CA removed, the address goes back to the platform.
    a.Send(kCategoryJ1939, j1939::kCmdRemoveCA, Bytes{2, 0x90});
    EXPECT_EQ(Request(a, 12, j1939::kCmdStaticCAs), (Pairs{{1, 0x80}, {1, 0x81}, {2, 0x90}}));
    EXPECT_TRUE(AwaitReport("the platform's static CA claims can2 address 90 again"));
}

TEST_F(J1939ServiceTest, MessagesReachTheSubscribersOfEveryMode) {
    StartSim();
    RawApp& sender = Connect(100);
    RawApp& byPgn = Connect(101);
    RawApp& bySource = Connect(102);
    RawApp& byBoth = Connect(103);
    RawApp& everything = Connect(104);
    RawApp& canWatcher = Connect(105);
    ASSERT_EQ(CreateCa(sender, 0, 0x20, Identity(1)), (Pairs{{0, 0x20}}));
    ASSERT_EQ(CreateCa(everything, 0, 0x40, Identity(2)), (Pairs{{0, 0x40}}));  // answers the long message
    sender.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(0, 3, 0, 0));  // never to itself
    byPgn.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(0, 0, 0xFEF1, 0));
    bySource.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(0, 1, 0, 0x20));
    byBoth.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(0, 2, 0xFEF1, 0x21));
    everything.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(0, 3, 0, 0));
    everything.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(1, 3, 0, 0));
    canWatcher.Send(kCategoryCan, can::kCmdSubscribe, CanSubscription(0));
    for (RawApp* app : {&sender, &byPgn, &bySource, &byBoth, &everything, &canWatcher}) app->Sync();
    const std::string listing = Run("list").text;
    for (const char* line : {"J1939 subscription can0 PGN FEF1\n", "J1939 subscription can0 from source 20\n",
                             "J1939 subscription can0 PGN FEF1 from source 21\n", "J1939 subscription can1 all\n",
                             "J1939 CA can0 address 40 "})
        EXPECT_NE(listing.find(line), std::string::npos) << line << listing;

    sender.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x20, 0x33, 6, 0xFEF1, {1, 2, 3}));
    Bytes longPayload(20);
    for (std::size_t i = 0; i < longPayload.size(); ++i) longPayload[i] = static_cast<std::uint8_t>(i);
    sender.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x20, 0x40, 7, 0xEF00, longPayload));
    for (RawApp* app : {&sender, &byPgn, &bySource, &byBoth, &everything, &canWatcher}) app->Sync();

    const auto atPgn = byPgn.Of(kCategoryJ1939, j1939::kCmdReceived);
    ASSERT_EQ(atPgn.size(), 1u);
    const Bytes& r = atPgn[0].payload;
    ASSERT_EQ(r.size(), 15u);
    EXPECT_EQ(r[0], 0);      // bus
    EXPECT_EQ(r[1], 0x20);   // source
    EXPECT_EQ(r[2], 255);    // a PDU2 message goes to everyone
    EXPECT_EQ(r[3], 6);      // priority
    EXPECT_EQ(Get32(r, 4), 0xFEF1u);
    EXPECT_EQ(r[8], 3);
    EXPECT_EQ(Bytes(r.begin() + 12, r.end()), (Bytes{1, 2, 3}));
    EXPECT_EQ(bySource.Of(kCategoryJ1939, j1939::kCmdReceived).size(), 2u);
    EXPECT_TRUE(byBoth.Of(kCategoryJ1939, j1939::kCmdReceived).empty());
    EXPECT_TRUE(sender.Of(kCategoryJ1939, j1939::kCmdReceived).empty());
    const auto all = everything.Of(kCategoryJ1939, j1939::kCmdReceived);
    ASSERT_EQ(all.size(), 2u);
    // The long message arrives whole, addressed (PDU1): destination 0x40.
    EXPECT_EQ(all[1].payload.size(), 32u);
    EXPECT_EQ(all[1].payload[2], 0x40);
    EXPECT_EQ(Get32(all[1].payload, 4), 0xEF00u);
    EXPECT_EQ(Bytes(all[1].payload.begin() + 12, all[1].payload.end()), longPayload);
    // On the CAN bus: the short one as a 29-bit frame, the long one as the
    // RTS/CTS session that the CA at 0x40 answered.
    const auto frames = canWatcher.Of(kCategoryCan, can::kCmdReceived);
    std::vector<std::uint32_t> ids;
    for (const Received& f : frames) ids.push_back(Get32(f.payload, 0));
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{0x18FEF120, 0x1CEC4020, 0x1CEC2040, 0x1CEB4020, 0x1CEB4020,
                                               0x1CEB4020, 0x1CEC2040}));
    EXPECT_EQ(frames[0].payload[4], 1);
    EXPECT_EQ(frames[0].payload[7], 3);

    // A 29-bit frame from elsewhere reaches J1939 subscribers as one message.
    canWatcher.Send(kCategoryCan, can::kCmdSend,
                    Bytes{0x17, 0x20, 0xEA, 0x18, 1, 0, 0, 3, 0xF1, 0xFE, 0x00, 0, 0, 0, 0, 0});
    canWatcher.Sync();
    ASSERT_TRUE(Run("can1 0CFE6C17#0102030405060708").ok);
    ASSERT_TRUE(Run("can0 7DF#0201").ok);  // standard frames are no J1939 messages
    canWatcher.Sync();
    const auto decoded = everything.AwaitCount(kCategoryJ1939, j1939::kCmdReceived, 4);
    ASSERT_EQ(decoded.size(), 4u);
    EXPECT_EQ(Get32(decoded[2].payload, 4), 0xEA00u);
    EXPECT_EQ(decoded[2].payload[1], 0x17);
    EXPECT_EQ(decoded[2].payload[2], 0x20);
    EXPECT_EQ(decoded[2].payload[3], 6);
    EXPECT_EQ(decoded[2].payload[8], 3);
    EXPECT_EQ(decoded[3].payload[0], 1);
    EXPECT_EQ(Get32(decoded[3].payload, 4), 0xFE6Cu);
    EXPECT_EQ(decoded[3].payload[3], 3);
    everything.Sync();
    EXPECT_EQ(everything.Of(kCategoryJ1939, j1939::kCmdReceived).size(), 4u);
    EXPECT_EQ(bySource.Of(kCategoryJ1939, j1939::kCmdReceived).size(), 2u);

    // Withdrawn, the PGN subscription delivers nothing more.
    byPgn.Send(kCategoryJ1939, j1939::kCmdUnsubscribe, J1939Subscription(0, 0, 0xFEF1, 0));
    byPgn.Sync();
    sender.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x20, 0x33, 6, 0xFEF1, {4}));
    sender.Sync();
    byPgn.Sync();
    EXPECT_EQ(byPgn.Of(kCategoryJ1939, j1939::kCmdReceived).size(), 1u);
}

TEST_F(J1939ServiceTest, SendsFromAddressesNotHeldAndMalformedRecordsAreRefused) {
    options_.tpPacketGapMs = 0;  // the longest message as a BAM at once
    StartSim();
    RawApp& owner = Connect(100);
    RawApp& other = Connect(101);
    RawApp& listener = Connect(102);
    ASSERT_EQ(CreateCa(owner, 0, 0x20, Identity(1)), (Pairs{{0, 0x20}}));
    listener.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(0, 3, 0, 0));
    listener.Sync();

    other.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x20, 255, 6, 0xFEF1, {1}));  // not its CA
    Bytes mismatch = SendRecord(0, 0x20, 255, 6, 0xFEF1, {1, 2});
    mismatch.pop_back();
    owner.Send(kCategoryJ1939, j1939::kCmdSend, mismatch);
    owner.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x20, 255, 8, 0xFEF1, {1}));
    owner.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x20, 255, 6, 0x40000, {1}));
    owner.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(1, 0x20, 255, 6, 0xFEF1, {1}));  // not on can1
    owner.Send(kCategoryJ1939, j1939::kCmdSend, Bytes(19, 0));
    Bytes tooLong = SendRecord(0, 0x20, 255, 6, 0xFEF1, {});
    Put16(tooLong, 8, 1786);
    tooLong.resize(20 + 1786);
    owner.Send(kCategoryJ1939, j1939::kCmdSend, tooLong);
    owner.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(0, 4, 0, 0));
    Bytes nullAddress(20, 0);
    nullAddress[1] = j1939::kNullAddress;
    owner.Send(kCategoryJ1939, j1939::kCmdCreateCA, nullAddress);
    owner.Send(kCategoryJ1939, j1939::kCmdInterfaceManager, Bytes{7});
    Bytes longest = SendRecord(0, 0x20, 255, 6, 0xFEF1, Bytes(1785, 0xAB));
    owner.Send(kCategoryJ1939, j1939::kCmdSend, longest);
    owner.Sync();
    other.Sync();
    listener.Sync();
    const auto got = listener.Of(kCategoryJ1939, j1939::kCmdReceived);
    ASSERT_EQ(got.size(), 1u);  // only the longest message passed
    EXPECT_EQ(got[0].payload.size(), 12u + 1785u);
    EXPECT_TRUE(AwaitReport("application 101: J1939 command 4 refused: source address 20 is not held"));
    EXPECT_EQ(CountReports("application 100: J1939 command"), 9u);
    EXPECT_TRUE(AwaitReport("priority 8 exceeds 7"));
    EXPECT_TRUE(AwaitReport("length 1786 exceeds 1785"));
    EXPECT_TRUE(AwaitReport("unknown mode 4"));
    EXPECT_TRUE(AwaitReport("address FE cannot be claimed"));
}

std::vector<std::uint32_t> FrameIds(RawApp& watcher) {
    std::vector<std::uint32_t> ids;
    for (const Received& r : watcher.Of(kCategoryCan, can::kCmdReceived)) ids.push_back(Get32(r.payload, 0));
    return ids;
}

TEST_F(J1939ServiceTest, ClaimsAreAnsweredAndContestedOnTheWire) {
    options_.staticCas = {{1, 0x90, 0x90}};
    StartSim();
    RawApp& watcher = Connect(90);
    RawApp& a = Connect(100);
    RawApp& b = Connect(101);
    ASSERT_EQ(CreateCa(a, 1, 0x20, Identity(500)), (Pairs{{1, 0x20}}));
    ASSERT_EQ(CreateCa(a, 1, 0x21, Identity(600)), (Pairs{{1, 0x20}, {1, 0x21}}));
    ASSERT_EQ(CreateCa(b, 1, 0x22, Identity(5, 1)), (Pairs{{1, 0x22}}));
    watcher.Send(kCategoryCan, can::kCmdSubscribe, CanSubscription(1));
    watcher.Sync();

    // Requests for address claimed: to everyone, then to one address.
    ASSERT_TRUE(Run("can1 18EAFF31#00EE00").ok);
    ASSERT_TRUE(Run("can1 18EA2131#00EE00").ok);
    // A lower NAME from the bus takes 0x20; a higher one does not get 0x21.
    ASSERT_TRUE(Run("can1 18EEFF20#1000000000000000").ok);
    ASSERT_TRUE(Run("can1 18EEFF21#FFFFFFFFFFFFFFFF").ok);
    watcher.Sync();
    EXPECT_EQ(FrameIds(watcher), (std::vector<std::uint32_t>{0x18EAFF31, 0x18EEFF90, 0x18EEFF20, 0x18EEFF21,
                                                             0x18EEFF22, 0x18EA2131, 0x18EEFF21, 0x18EEFF20,
                                                             0x18EEFFFE, 0x18EEFF21, 0x18EEFF21}));
    const auto frames = watcher.Of(kCategoryCan, can::kCmdReceived);
    EXPECT_EQ(Bytes(frames[8].payload.begin() + 8, frames[8].payload.end()), (Bytes{0xF4, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(frames[10].payload.begin() + 8, frames[10].payload.end()), (Bytes{0x58, 2, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(AwaitReport("can1 address 20 claimed from the bus by NAME 0000000000000010: a CA of application 100 "
                            "(NAME 00000000000001F4) lost it and can no longer send from it"));
    EXPECT_TRUE(AwaitReport("can1 address 21 claimed from the bus by NAME FFFFFFFFFFFFFFFF: a CA of application 100 "
                            "(NAME 0000000000000258) keeps it and claims it again"));

    // The loser's application can no longer send from the address.
    a.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(1, 0x20, 255, 6, 0xFEF1, {1}));
    EXPECT_TRUE(AwaitReport("application 100: J1939 command 4 refused: source address 20 is not held"));
    EXPECT_EQ(Request(a, 10, j1939::kCmdCAsPresent), (Pairs{{1, 0x21}}));
    const std::string table = Run("j1939").text;
    for (const char* line : {"can1 addresses:\n", "  20 NAME 0000000000000010 bus: identity 16, manufacturer 0,",
                             "  21 NAME 0000000000000258 application 100: identity 600,",
                             "  90 NAME 0000000000000090 platform (static CA)",
                             "  - (lost 20) NAME 00000000000001F4 application 100",
                             "industry group 1, arbitrary address capable 0\n", "no transport session open\n"})
        EXPECT_NE(table.find(line), std::string::npos) << line << "\n" << table;

    // Asked again, the CA without an address answers with cannot claim.
    watcher.Clear();
    ASSERT_TRUE(Run("can1 18EAFF31#00EE00").ok);
    EXPECT_TRUE(watcher.Await([](const std::vector<Received>& all) {
        return all.size() >= 5 && Get32(all.back().payload, 0) == 0x18EEFFFE;
    }));
}

TEST_F(J1939ServiceTest, ANodeThatWentSilentKeepsNoAddressAndALoserIsTold) {
    StartSim();
    RawApp& a = Connect(100);
    RawApp& b = Connect(101);
    // A node claimed 0x80 and went silent: a CA with a higher NAME claims
    // the address, and holds it as nobody defends it.
    ASSERT_TRUE(Run("can1 18EEFF80#0100000000000000").ok);
    EXPECT_EQ(CreateCa(a, 1, 0x80, Identity(0x500)), (Pairs{{1, 0x80}}));
    EXPECT_TRUE(AwaitReport("application 100 (NAME 0000000000000500) claims can1 address 80, last claimed from "
                            "the bus by NAME 0000000000000001"));
    EXPECT_EQ(CreateCa(b, 1, 0x80, Identity(0x600)), Pairs{});
    EXPECT_TRUE(AwaitReport("lost the contest for can1 address 80 (held by NAME 0000000000000500)"));

    // The node defends it after all: the CA's application gets its list of
    // the CAs present, without the CA, unasked.
    const std::size_t lists = a.Of(kCategoryJ1939, j1939::kCmdCAsPresent).size();
    ASSERT_TRUE(Run("can1 18EEFF80#0100000000000000").ok);
    const auto got = a.AwaitCount(kCategoryJ1939, j1939::kCmdCAsPresent, lists + 1);
    ASSERT_EQ(got.size(), lists + 1);
    EXPECT_TRUE(got.back().payload.empty());
}

TEST_F(J1939ServiceTest, MessagesReachTheOtherCasOfTheSenderAndWaitOutAnArbitraryClaim) {
    StartSim();
    RawApp& a = Connect(100);
    RawApp& b = Connect(101);
    ASSERT_EQ(CreateCa(a, 0, 0x20, Identity(1)), (Pairs{{0, 0x20}}));
    ASSERT_EQ(CreateCa(a, 0, 0x21, Identity(2)), (Pairs{{0, 0x20}, {0, 0x21}}));
    ASSERT_EQ(CreateCa(b, 0, 0x33, Identity(3)), (Pairs{{0, 0x33}}));
    a.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(0, 3, 0, 0));
    b.Send(kCategoryJ1939, j1939::kCmdSubscribe, J1939Subscription(0, 3, 0, 0));
    a.Sync();
    b.Sync();

    a.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x20, 0x21, 6, 0xEF00, {1}));  // to its other CA
    a.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x20, 0x33, 6, 0xEF00, {2}));  // to b only
    a.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x20, 255, 6, 0xFEF1, {3}));   // to everyone
    a.Sync();
    b.Sync();
    std::vector<int> atA, atB;
    for (const Received& r : a.Of(kCategoryJ1939, j1939::kCmdReceived)) atA.push_back(r.payload[12]);
    for (const Received& r : b.Of(kCategoryJ1939, j1939::kCmdReceived)) atB.push_back(r.payload[12]);
    EXPECT_EQ(atA, (std::vector<int>{1, 3}));
    EXPECT_EQ(atB, (std::vector<int>{1, 2, 3}));

    // A CA at an arbitrary address (128 to 247) sends 250 ms after its claim.
    b.Clear();
    const auto claimed = std::chrono::steady_clock::now();
    ASSERT_EQ(CreateCa(a, 0, 0x80, Identity(4)), (Pairs{{0, 0x20}, {0, 0x21}, {0, 0x80}}));
    a.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(0, 0x80, 255, 6, 0xFEF2, {4}));
    ASSERT_EQ(b.AwaitCount(kCategoryJ1939, j1939::kCmdReceived, 2).size(), 2u);  // the claim, then the message
    EXPECT_GE(std::chrono::steady_clock::now() - claimed, std::chrono::milliseconds(250));
    EXPECT_EQ(Get32(b.Of(kCategoryJ1939, j1939::kCmdReceived)[1].payload, 4), 0xFEF2u);
}

TEST_F(J1939ServiceTest, TheOperatorSeesSessionsAndAbortsButNoTransportTiming) {
    StartSim();
    RawApp& app = Connect(100);
    ASSERT_EQ(CreateCa(app, 1, 0x20, Identity(1)), (Pairs{{1, 0x20}}));
    // An RTS that nobody answers ends in an abort; a long BAM is listed
    // while it runs. Transport frames are not timed as cyclic frames.
    app.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(1, 0x20, 0x55, 6, 0xEF00, Bytes(30, 1)));
    app.Send(kCategoryJ1939, j1939::kCmdSend, SendRecord(1, 0x20, 255, 6, 0xFEF1, Bytes(1785, 2)));
    app.Sync();
    const std::string sessions = Run("j1939").text;
    EXPECT_NE(sessions.find("  sending can1 BAM 20 -> FF PGN FEF1, 1785 bytes"), std::string::npos) << sessions;
    EXPECT_NE(sessions.find("  sending can1 RTS/CTS 20 -> 55 PGN EF00, 30 bytes, 0 of 5 packets sent"), std::string::npos);
    EXPECT_TRUE(AwaitReport("RTS/CTS 20 -> 55 PGN EF00 aborted: no CTS or acknowledgement within 1250 ms"));
    const std::string timing = Run("timing").text;
    EXPECT_EQ(timing.find("EC"), std::string::npos) << timing;
    EXPECT_EQ(timing.find("EB"), std::string::npos) << timing;
}

}  // namespace
