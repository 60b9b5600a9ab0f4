// Messages longer than a frame on the simulated J1939 network: sessions of a
// raw CAN application reaching a CA whole, and long messages between two
// applications going over the bus as the transport protocol's frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus2;

bool IsCan(const std::string& line) {
    return line.compare(0, 4, "can ") == 0;
}

TEST(Transport, SessionsOfARawCanNodeReachTheCaWhole) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_GT(app.CreateCa(CANBus1, 0x20, 0x20), 0);
    // The peer plays a node at 0x31 with raw CAN frames.
    Peer node(sim.Endpoint(), 101);
    ASSERT_EQ(node.Run("can-init 1"), "1 0 0");
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) {
        return Contains(SectionOf(list, 100), "J1939 subscription can1 all") &&
               Contains(SectionOf(list, 101), "CAN subscription can1");
    }));

    // RTS/CTS to the CA: the simulator answers for it.
    EXPECT_EQ(node.Run("can-send 1 1CEC2031 1 10140003FF00EF00"), "0");
    EXPECT_EQ(node.Proc().AwaitLines(IsCan, 1), (std::vector<std::string>{"can 1 1CEC3120 1 110301FFFF00EF00"}));
    EXPECT_EQ(node.Run("can-send 1 1CEB2031 1 0100010203040506"), "0");
    EXPECT_EQ(node.Run("can-send 1 1CEB2031 1 020708090A0B0C0D"), "0");
    EXPECT_EQ(node.Run("can-send 1 1CEB2031 1 030E0F10111213FF"), "0");
    EXPECT_EQ(node.Proc().AwaitLines(IsCan, 2).back(), "can 1 1CEC3120 1 13140003FF00EF00");
    // A BAM.
    EXPECT_EQ(node.Run("can-send 1 18ECFF31 1 200A0002FFCAFE00"), "0");
    EXPECT_EQ(node.Run("can-send 1 18EBFF31 1 0111121314151617"), "0");
    EXPECT_EQ(node.Run("can-send 1 18EBFF31 1 0218191AFFFFFFFF"), "0");

    EXPECT_EQ(app.Await("j1939 ", 2),
              (std::vector<std::string>{"j1939 1 EF00 31 20 7 000102030405060708090A0B0C0D0E0F10111213",
                                        "j1939 1 FECA 31 FF 6 1112131415161718191A"}));
    // No transport frame reached the CA on its own.
    EXPECT_EQ(app.Received().size(), 2u);
    EXPECT_EQ(node.Quit(), 0);
}

TEST(Transport, LongMessagesBetweenApplicationsGoOverTheBus) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start({"--tp-gap", "1", "--log", folder / "bus.log"}));
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_GT(app.CreateCa(CANBus2, 0x20, 0x20), 0);
    Peer peer(sim.Endpoint(), 101);
    ASSERT_EQ(peer.Run("ca 2 21 21"), "1 0");
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) {
        return Contains(SectionOf(list, 101), "J1939 subscription can2 all");
    }));

    std::vector<unsigned char> data(100);
    for (int i = 0; i < 100; ++i) data[i] = static_cast<unsigned char>(i);
    const std::string expected = HexBytes(data.data(), data.size());
    ASSERT_EQ(app.SendJ1939(CANBus2, 0x20, 0x21, 6, 0xEF00, data), 0);
    ASSERT_EQ(app.SendJ1939(CANBus2, 0x20, 0xFF, 6, 0xFEF1, {data.begin(), data.begin() + 20}), 0);
    // A PDU2 message to one address goes to it alone, by RTS/CTS as well.
    ASSERT_EQ(app.SendJ1939(CANBus2, 0x20, 0x21, 6, 0xFEEB, {data.begin(), data.begin() + 30}), 0);

    const auto isJ1939 = [](const std::string& line) { return line.compare(0, 6, "j1939 ") == 0; };
    std::vector<std::string> lines = peer.Proc().AwaitLines(isJ1939, 3);
    std::sort(lines.begin(), lines.end());  // the BAM runs beside the sessions
    EXPECT_EQ(lines, (std::vector<std::string>{"j1939 2 EF00 20 21 6 " + expected,
                                               "j1939 2 FEEB 20 21 6 " + expected.substr(0, 60),
                                               "j1939 2 FEF1 20 FF 6 " + expected.substr(0, 40)}));

    // On the bus: the RTS/CTS session the peer's CA answered (windows of 16
    // packets), then the BAM.
    const auto count = [](const std::string& log, const std::string& part) {
        std::size_t n = 0;
        for (std::size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
        return n;
    };
    std::string log;
    EXPECT_TRUE(Eventually([&] {
        std::ifstream in(folder / "bus.log");
        std::ostringstream text;
        text << in.rdbuf();
        log = text.str();
        // The last frames on the wire: the BAM's packets and the two End of
        // message acknowledgements, in whichever order they won the bus.
        return count(log, "can2 18EBFF20#") == 3 && count(log, "can2 1CEC2021#13") == 2;
    })) << log;
    EXPECT_EQ(count(log, "can2 18EC2120#1064000FFF00EF00"), 1u) << log;  // RTS: 100 bytes, 15 packets
    EXPECT_EQ(count(log, "can2 1CEC2021#110F01FFFF00EF00"), 1u) << log;  // CTS: 15 packets from 1
    EXPECT_EQ(count(log, "can2 18EB2120#"), 15u + 5u) << log;  // and 5 of PGN FEEB
    EXPECT_EQ(count(log, "can2 1CEC2021#1364000FFF00EF00"), 1u) << log;  // End of message ack
    EXPECT_EQ(count(log, "can2 18ECFF20#20140003FFF1FE00"), 1u) << log;  // BAM: 20 bytes, 3 packets
    EXPECT_EQ(count(log, "can2 18EC2120#101E0005FFEBFE00"), 1u) << log;  // RTS: 30 bytes of PGN FEEB
    EXPECT_EQ(count(log, "can2 1CEC2021#131E0005FFEBFE00"), 1u) << log;
    EXPECT_EQ(peer.Quit(), 0);
}

}  // namespace
}  // namespace integration
