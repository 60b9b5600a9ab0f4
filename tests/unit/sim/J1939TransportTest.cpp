// Golden frame sequences of the transport protocol, on one bus whose time
// moves only when the test moves it.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "logs/CandumpFormat.h"
#include "j1939/J1939Transport.h"

namespace {

using namespace gatewaysim;
using Frames = std::vector<std::string>;

// Bus 1 as the simulator runs it: every frame that the transport puts on
// the bus comes back to it, like every frame from elsewhere.
class FakeBus : public J1939Transport::Link {
public:
    explicit FakeBus(J1939Transport::Options options) : transport(*this, options) {}

    std::int64_t NowUs() override { return now; }
    void Emit(const CanFrame& frame, std::int32_t owner) override {
        frames.push_back(FormatCanFrame(frame));
        transport.OnFrame(frame, Origin{Origin::Kind::kJ1939, owner});
    }
    void Complete(std::uint8_t, const J1939Header& header, const std::vector<std::uint8_t>& data,
                  const Origin&) override {
        char text[64];
        std::snprintf(text, sizeof(text), "%04X %u->%u p%u ", header.pgn, header.source, header.destination,
                      header.priority);
        std::string line = text;
        for (const std::uint8_t b : data) {
            std::snprintf(text, sizeof(text), "%02X", b);
            line += text;
        }
        completed.push_back(line);
    }
    bool Hosted(std::uint8_t, std::uint8_t address, std::int32_t* owner) override {
        const auto it = hosted.find(address);
        if (it == hosted.end()) return false;
        *owner = it->second;
        return true;
    }
    void Report(const std::string& line) override { reports.push_back(line); }

    // A frame from another node.
    void Inject(const std::string& text) {
        CanFrame frame;
        std::string error;
        ASSERT_TRUE(ParseCanFrameText(text, &frame, &error)) << error;
        frame.bus = 1;
        frames.push_back(text);
        transport.OnFrame(frame, Origin{Origin::Kind::kOperator, 0});
    }
    bool Send(std::uint8_t source, std::uint8_t destination, std::uint32_t pgn, std::size_t length,
              std::uint8_t first = 0) {
        std::vector<std::uint8_t> data(length);
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(first + i);
        J1939Header header;
        header.priority = 6;
        header.pgn = pgn;
        header.source = source;
        header.destination = destination;
        return transport.Send(7, 1, header, data.data(), data.size(), 0);
    }
    std::int64_t Advance(std::int64_t ms) { return AdvanceUs(ms * 1000); }
    std::int64_t AdvanceUs(std::int64_t us) {
        now += us;
        return transport.Poll();
    }
    Frames Take() {
        Frames taken;
        taken.swap(frames);
        return taken;
    }
    bool Reported(const std::string& part) const {
        for (const std::string& line : reports) {
            if (line.find(part) != std::string::npos) return true;
        }
        return false;
    }

    std::int64_t now = 5'000'000;  // microseconds
    Frames frames;
    std::vector<std::string> completed;
    std::vector<std::string> reports;
    std::map<std::uint8_t, std::int32_t> hosted;
    J1939Transport transport;
};

J1939Transport::Options Window(std::uint8_t packets) {
    J1939Transport::Options options;
    options.receiveWindow = packets;
    return options;
}

TEST(J1939Transport, BamIsPacedOnePerSourceAndItsQueueIsBounded) {
    J1939Transport::Options options;
    options.maxWaiting = 2;
    FakeBus bus(options);
    ASSERT_TRUE(bus.Send(0x20, 0xFF, 0xFEF1, 10));
    EXPECT_EQ(bus.Take(), (Frames{"18ECFF20#200A0002FFF1FE00"}));
    EXPECT_EQ(bus.Advance(0), 50);
    EXPECT_EQ(bus.AdvanceUs(49'600), 1);  // the wait is rounded up, never down
    EXPECT_TRUE(bus.Take().empty());
    EXPECT_EQ(bus.AdvanceUs(700), 50);  // polled late: the next gap counts from here
    EXPECT_EQ(bus.Take(), (Frames{"18EBFF20#0100010203040506"}));
    EXPECT_EQ(bus.AdvanceUs(49'900), 1);
    EXPECT_TRUE(bus.Take().empty());
    EXPECT_EQ(bus.AdvanceUs(100), -1);  // the unused bytes of the last packet are FF
    EXPECT_EQ(bus.Take(), (Frames{"18EBFF20#02070809FFFFFFFF"}));
    EXPECT_EQ(bus.completed, (std::vector<std::string>{"FEF1 32->255 p6 00010203040506070809"}));

    // A second BAM of the source waits for the first; the queue holds two.
    bus.completed.clear();
    ASSERT_TRUE(bus.Send(0x20, 0xFF, 0xFEF1, 9, 0xA0));
    ASSERT_TRUE(bus.Send(0x20, 0xFF, 0xFEF2, 9, 0xB0));
    ASSERT_TRUE(bus.Send(0x20, 0xFF, 0xFEF3, 9, 0xC0));
    EXPECT_FALSE(bus.Send(0x20, 0xFF, 0xFEF4, 9, 0xD0));
    EXPECT_TRUE(bus.Reported("BAM 20 -> FF PGN FEF4 (9 bytes) dropped: 2 messages of that source to that destination wait already"));
    EXPECT_TRUE(bus.Send(0x21, 0xFF, 0xFEF5, 3));  // another source, one frame: at once
    EXPECT_EQ(bus.Take(), (Frames{"18ECFF20#20090002FFF1FE00", "18FEF521#000102"}));
    for (int i = 0; i < 6; ++i) bus.Advance(50);
    EXPECT_EQ(bus.Take(), (Frames{"18EBFF20#01A0A1A2A3A4A5A6", "18EBFF20#02A7A8FFFFFFFFFF", "18ECFF20#20090002FFF2FE00",
                                  "18EBFF20#01B0B1B2B3B4B5B6", "18EBFF20#02B7B8FFFFFFFFFF", "18ECFF20#20090002FFF3FE00",
                                  "18EBFF20#01C0C1C2C3C4C5C6", "18EBFF20#02C7C8FFFFFFFFFF"}));
    EXPECT_EQ(bus.completed.size(), 3u);
}

TEST(J1939Transport, RtsCtsBetweenHostedCasRunsInWindowsOfTheReceiver) {
    FakeBus bus(Window(2));
    bus.hosted[0x30] = 8;
    ASSERT_TRUE(bus.Send(0x20, 0x30, 0xEF00, 20));
    EXPECT_EQ(bus.Take(), (Frames{"18EC3020#10140003FF00EF00", "1CEC2030#110201FFFF00EF00",
                                  "18EB3020#0100010203040506", "18EB3020#020708090A0B0C0D",
                                  "1CEC2030#110103FFFF00EF00", "18EB3020#030E0F10111213FF",
                                  "1CEC2030#13140003FF00EF00"}));
    EXPECT_EQ(bus.completed,
              (std::vector<std::string>{"EF00 32->48 p6 000102030405060708090A0B0C0D0E0F10111213"}));
    EXPECT_EQ(bus.Advance(0), -1);  // nothing left open
}

TEST(J1939Transport, TheOriginatorWaitsOutAHoldAndAbortsOnEveryTimeOut) {
    FakeBus bus(Window(16));
    // The receiver holds, then lets all three packets go, then acknowledges.
    ASSERT_TRUE(bus.Send(0x20, 0x30, 0xEF00, 20));
    bus.Inject("1CEC2030#110001FFFF00EF00");
    EXPECT_EQ(bus.Advance(1000), 50);
    bus.Inject("1CEC2030#110301FFFF00EF00");
    EXPECT_EQ(bus.Advance(1249), 1);
    bus.Inject("1CEC2030#13140003FF00EF00");
    EXPECT_EQ(bus.Take(), (Frames{"18EC3020#10140003FF00EF00", "1CEC2030#110001FFFF00EF00",
                                  "1CEC2030#110301FFFF00EF00", "18EB3020#0100010203040506",
                                  "18EB3020#020708090A0B0C0D", "18EB3020#030E0F10111213FF",
                                  "1CEC2030#13140003FF00EF00"}));
    EXPECT_EQ(bus.Advance(0), -1);
    EXPECT_EQ(bus.completed.size(), 1u);  // the session on the bus was complete

    // Nobody answers the RTS: T3.
    ASSERT_TRUE(bus.Send(0x20, 0x30, 0xEF00, 20));
    EXPECT_EQ(bus.Advance(1249), 1);
    bus.Advance(1);
    // A hold that is never lifted: T4.
    ASSERT_TRUE(bus.Send(0x20, 0x30, 0xEF00, 9));
    bus.Inject("1CEC2030#110001FFFF00EF00");
    EXPECT_EQ(bus.Advance(1049), 1);
    bus.Advance(1);
    // The receiver aborts.
    ASSERT_TRUE(bus.Send(0x20, 0x30, 0xEF00, 9));
    bus.Inject("1CEC2030#FF02FFFFFF00EF00");
    EXPECT_EQ(bus.Take(), (Frames{"18EC3020#10140003FF00EF00", "1CEC3020#FF03FFFFFF00EF00",
                                  "18EC3020#10090002FF00EF00", "1CEC2030#110001FFFF00EF00",
                                  "1CEC3020#FF03FFFFFF00EF00", "18EC3020#10090002FF00EF00",
                                  "1CEC2030#FF02FFFFFF00EF00"}));
    EXPECT_TRUE(bus.Reported("RTS/CTS 20 -> 30 PGN EF00 aborted: no CTS or acknowledgement within 1250 ms"));
    EXPECT_TRUE(bus.Reported("aborted: no CTS within 1050 ms of a hold"));
    EXPECT_TRUE(bus.Reported("RTS/CTS 20 -> 30 PGN EF00 aborted by 30 (reason 2)"));
    EXPECT_EQ(bus.Advance(5000), -1);
    EXPECT_EQ(bus.completed.size(), 1u);
}

TEST(J1939Transport, AHostedReceiverAnswersAndAbortsWhatBreaksTheRules) {
    FakeBus bus(Window(16));
    bus.hosted[0x20] = 8;
    const std::string rts = "1CEC2030#10140003FF00EF00";
    const std::string cts = "1CEC3020#110301FFFF00EF00";
    const std::string dt1 = "1CEB2030#0100010203040506";
    const auto abort = [](int reason) { return "1CEC3020#FF0" + std::to_string(reason) + "FFFFFF00EF00"; };

    bus.Inject(rts);  // no data after the CTS: T2
    EXPECT_EQ(bus.Advance(1249), 1);
    bus.Advance(1);
    EXPECT_EQ(bus.Take(), (Frames{rts, cts, abort(3)}));
    bus.Inject(rts);  // a gap after a packet: T1
    bus.Inject(dt1);
    bus.Advance(749);
    bus.Advance(1);
    EXPECT_EQ(bus.Take(), (Frames{rts, cts, dt1, abort(3)}));
    bus.Inject(rts);  // a packet out of order
    bus.Inject("1CEB2030#020708090A0B0C0D");
    EXPECT_EQ(bus.Take(), (Frames{rts, cts, "1CEB2030#020708090A0B0C0D", abort(7)}));
    bus.Inject(rts);  // a packet twice
    bus.Inject(dt1);
    bus.Inject(dt1);
    EXPECT_EQ(bus.Take(), (Frames{rts, cts, dt1, dt1, abort(8)}));
    bus.Inject("1CEC2030#10FA06FFFF00EF00");  // 1786 bytes: more than the protocol carries
    EXPECT_EQ(bus.Take(), (Frames{"1CEC2030#10FA06FFFF00EF00", abort(2)}));
    EXPECT_TRUE(bus.completed.empty());

    bus.Inject(rts);
    bus.Inject(dt1);
    bus.Inject("1CEB2030#020708090A0B0C0D");
    bus.Inject("1CEB2030#030E0F10111213FF");
    EXPECT_EQ(bus.Take().back(), "1CEC3020#13140003FF00EF00");
    EXPECT_EQ(bus.completed,
              (std::vector<std::string>{"EF00 48->32 p7 000102030405060708090A0B0C0D0E0F10111213"}));

    // A BAM from another node is reassembled without a word; an incomplete
    // one is dropped after T1, reported.
    bus.Inject("1CECFF31#200A0002FFCAFE00");
    bus.Inject("1CEBFF31#0111121314151617");
    bus.Inject("1CEBFF31#0218191AFFFFFFFF");
    bus.Inject("1CECFF31#200A0002FFCAFE00");
    bus.Inject("1CEBFF31#0111121314151617");
    bus.Advance(750);
    EXPECT_EQ(bus.Take().size(), 5u);
    EXPECT_EQ(bus.completed.back(), "FECA 49->255 p7 1112131415161718191A");
    EXPECT_TRUE(bus.Reported("BAM 31 -> FF PGN FECA timed out after packet 1 of 2"));
}

TEST(J1939Transport, QueuesAreBoundedPerDestinationAndOnlyItsMessagesWait) {
    J1939Transport::Options options;
    options.maxWaiting = 2;
    FakeBus bus(options);
    bus.hosted[0x30] = 8;
    // Nobody at 0x42: one session waits for its CTS, two messages wait
    // behind it, a fourth is dropped.
    for (std::uint32_t pgn : {0xEF00u, 0xEE00u, 0xED00u}) ASSERT_TRUE(bus.Send(0x20, 0x42, pgn, 9));
    EXPECT_FALSE(bus.Send(0x20, 0x42, 0xEC00, 9));
    EXPECT_TRUE(bus.Reported("RTS/CTS 20 -> 42 PGN EC00 (9 bytes) dropped: 2 messages of that source to that "
                             "destination wait already"));
    // A broadcast and a session to a node that answers go at once.
    ASSERT_TRUE(bus.Send(0x20, 0xFF, 0xFEF1, 3));
    ASSERT_TRUE(bus.Send(0x20, 0x30, 0xEF00, 9));
    EXPECT_EQ(bus.Take(), (Frames{"18EC4220#10090002FF00EF00", "18FEF120#000102", "18EC3020#10090002FF00EF00",
                                  "1CEC2030#110201FFFF00EF00", "18EB3020#0100010203040506",
                                  "18EB3020#020708FFFFFFFFFF", "1CEC2030#13090002FF00EF00"}));
    EXPECT_EQ(bus.completed.size(), 1u);

    // Cannot-claim messages from the null address each go at their own time.
    J1939Header claim;
    claim.pgn = 0xEE00;
    claim.source = 0xFE;
    const std::uint8_t name[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(bus.transport.Send(7, 1, claim, name, 8, bus.now + 100'000));
    ASSERT_TRUE(bus.transport.Send(8, 1, claim, name, 8, bus.now + 20'500));
    EXPECT_EQ(bus.Advance(20), 1);
    EXPECT_EQ(bus.AdvanceUs(500), 80);
    EXPECT_EQ(bus.Take(), (Frames{"18EEFFFE#0100000000000000"}));
}

TEST(J1939Transport, ALongMessageToOneAddressGoesByRtsCtsAndPgnsAreNormalised) {
    FakeBus bus(Window(16));
    bus.hosted[0x30] = 8;
    bus.hosted[0x20] = 9;
    // PDU2 to one address: RTS/CTS, even at priority 3; in one frame, to all.
    J1939Header header;
    header.priority = 3;
    header.pgn = 0xFEEB;
    header.source = 0x20;
    header.destination = 0x30;
    const std::uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(bus.transport.Send(7, 1, header, data, 10, 0));
    ASSERT_TRUE(bus.transport.Send(7, 1, header, data, 2, 0));
    EXPECT_EQ(bus.Take(), (Frames{"0CEC3020#100A0002FFEBFE00", "1CEC2030#110201FFFFEBFE00",
                                  "0CEB3020#0100010203040506", "0CEB3020#02070809FFFFFFFF", "1CEC2030#130A0002FFEBFE00", "0CFEEB20#0001"}));
    // A BAM whose PGN field carries EF FF, an RTS whose carries the
    // destination: both deliver PDU1 PGN EF00, with their own priority; the
    // replies echo the field as it came.
    bus.Inject("14ECFF31#20090002FFFFEF00");
    bus.Inject("1CEBFF31#0111121314151617");
    bus.Inject("1CEBFF31#021819FFFFFFFFFF");
    bus.Inject("18EC2031#10090002FF20EF00");
    EXPECT_EQ(bus.Take().back(), "1CEC3120#110201FFFF20EF00");
    bus.Inject("18EB2031#0111121314151617");
    bus.Inject("18EB2031#021819FFFFFFFFFF");
    EXPECT_EQ(bus.Take().back(), "1CEC3120#13090002FF20EF00");
    EXPECT_EQ(bus.completed, (std::vector<std::string>{"FEEB 32->48 p3 00010203040506070809",
                                                       "EF00 49->255 p5 111213141516171819",
                                                       "EF00 49->32 p6 111213141516171819"}));
}

TEST(J1939Transport, EverySessionEndsWithItsCompletionOrItsAbort) {
    FakeBus bus(Window(16));
    bus.hosted[0x20] = 8;
    // A second RTS of the pair is refused; the open session goes on.
    bus.Inject("1CEC2030#10090002FF00EF00");
    bus.Inject("1CEC2030#10090002FF00E000");
    bus.Inject("1CEB2030#0100010203040506");
    bus.Inject("1CEB2030#020708FFFFFFFFFF");
    EXPECT_EQ(bus.Take(), (Frames{"1CEC2030#10090002FF00EF00", "1CEC3020#110201FFFF00EF00",
                                  "1CEC2030#10090002FF00E000", "1CEC3020#FF01FFFFFF00E000",
                                  "1CEB2030#0100010203040506", "1CEB2030#020708FFFFFFFFFF",
                                  "1CEC3020#13090002FF00EF00"}));
    EXPECT_EQ(bus.completed, (std::vector<std::string>{"EF00 48->32 p7 000102030405060708"}));
    EXPECT_TRUE(bus.Reported("RTS/CTS 30 -> 20 PGN E000 refused: the session for PGN EF00 of that pair is open"));

    // As originator: a CTS for packet 9 of 3 aborts at once, so does an
    // acknowledgement before the last packet went out.
    bus.hosted.clear();
    ASSERT_TRUE(bus.Send(0x20, 0x30, 0xEF00, 20));
    bus.Inject("1CEC2030#110109FFFF00EF00");
    ASSERT_TRUE(bus.Send(0x20, 0x30, 0xEF00, 20));
    bus.Inject("1CEC2030#13140003FF00EF00");
    EXPECT_EQ(bus.Take(), (Frames{"18EC3020#10140003FF00EF00", "1CEC2030#110109FFFF00EF00",
                                  "1CEC3020#FF07FFFFFF00EF00", "18EC3020#10140003FF00EF00",
                                  "1CEC2030#13140003FF00EF00", "1CEC3020#FF06FFFFFF00EF00"}));
    EXPECT_TRUE(bus.Reported("RTS/CTS 20 -> 30 PGN EF00 aborted: CTS for packet 9 of 3 (abort reason 7)"));
    EXPECT_TRUE(bus.Reported("aborted: acknowledged after 0 of 3 packets (abort reason 6)"));

    // A retransmission request is served; whoever follows the session
    // reassembles the message as the receiver does.
    bus.reports.clear();
    ASSERT_TRUE(bus.Send(0x20, 0x30, 0xEF00, 20));
    bus.Inject("1CEC2030#110201FFFF00EF00");
    bus.Inject("1CEC2030#110202FFFF00EF00");
    bus.Inject("1CEC2030#13140003FF00EF00");
    EXPECT_EQ(bus.Take(), (Frames{"18EC3020#10140003FF00EF00", "1CEC2030#110201FFFF00EF00",
                                  "18EB3020#0100010203040506", "18EB3020#020708090A0B0C0D",
                                  "1CEC2030#110202FFFF00EF00", "18EB3020#020708090A0B0C0D",
                                  "18EB3020#030E0F10111213FF", "1CEC2030#13140003FF00EF00"}));
    EXPECT_TRUE(bus.reports.empty()) << bus.reports.front();
    EXPECT_EQ(bus.completed.back(), "EF00 32->48 p6 000102030405060708090A0B0C0D0E0F10111213");
    EXPECT_EQ(bus.Advance(0), -1);
}

}  // namespace
