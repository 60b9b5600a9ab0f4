// Two applications, the test process and a peer process, exchange CAN frames
// and J1939 messages through the simulator; address contests between them.
#include <gtest/gtest.h>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus2;
using CustomApplication::CoreTypes::CANBus0;

TEST(Exchange, CanFramesTravelBothWaysInOrderAndNeverComeBackToTheSender) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_TRUE(app.ListenToCan(CANBus1));
    Peer peer(sim.Endpoint(), 101);
    ASSERT_EQ(peer.InitResult(), 0);
    ASSERT_EQ(peer.Run("can-init 1"), "1 0 0");
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) {
        return Contains(SectionOf(list, 100), "CAN subscription can1") &&
               Contains(SectionOf(list, 101), "CAN subscription can1");
    }));

    ASSERT_EQ(app.SendCan(CANBus1, 0x123, false, {0xDE, 0xAD}), 0);
    ASSERT_EQ(app.SendCan(CANBus1, 0x18FEF1AB, true, {1, 2, 3, 4, 5, 6, 7, 8}), 0);
    ASSERT_EQ(app.SendCan(CANBus1, 0x7FF, false, {}), 0);
    const auto isCan = [](const std::string& line) { return line.compare(0, 4, "can ") == 0; };
    EXPECT_EQ(peer.Proc().AwaitLines(isCan, 3),
              (std::vector<std::string>{"can 1 123 0 DEAD", "can 1 18FEF1AB 1 0102030405060708", "can 1 7FF 0 -"}));

    EXPECT_EQ(peer.Run("can-send 1 1CFFAA01 1 CAFE"), "0");
    EXPECT_EQ(peer.Run("can-send 1 042 0 01"), "0");
    // The peer's frames were sent after the test's had reached it: an echo
    // of the test's own frames would have arrived before them.
    EXPECT_EQ(app.Await("can ", 2), (std::vector<std::string>{"can 1 1CFFAA01 1 CAFE", "can 1 42 0 01"}));
    EXPECT_EQ(app.Received().size(), 2u);

    ASSERT_EQ(app.SendCan(CANBus1, 0x555, false, {0x55}), 0);
    const std::vector<std::string> atPeer = peer.Proc().AwaitLines(isCan, 4);
    ASSERT_EQ(atPeer.size(), 4u);
    EXPECT_EQ(atPeer[3], "can 1 555 0 55");  // nothing of its own in between
    EXPECT_EQ(peer.Quit(), 0);
}

TEST(Exchange, J1939MessagesArriveWithPriorityPgnSourceAndDestination) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_GT(app.CreateCa(CANBus2, 0x20, 0x20), 0);
    Peer peer(sim.Endpoint(), 101);
    ASSERT_EQ(peer.Run("ca 2 21 21"), "1 0");
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) {
        return Contains(SectionOf(list, 100), "J1939 subscription can2 all") &&
               Contains(SectionOf(list, 101), "J1939 subscription can2 all");
    }));

    ASSERT_EQ(app.SendJ1939(CANBus2, 0x20, 0xFF, 6, 0xFEF1, {1, 2, 3, 4, 5, 6, 7, 8}), 0);
    // A message longer than a frame, addressed to the peer's CA.
    std::vector<unsigned char> data(20);
    for (int i = 0; i < 20; ++i) data[i] = static_cast<unsigned char>(0xA0 + i);
    ASSERT_EQ(app.SendJ1939(CANBus2, 0x20, 0x21, 3, 0xEF00, data), 0);

    const auto isJ1939 = [](const std::string& line) { return line.compare(0, 6, "j1939 ") == 0; };
    EXPECT_EQ(peer.Proc().AwaitLines(isJ1939, 2),
              (std::vector<std::string>{"j1939 2 FEF1 20 FF 6 0102030405060708",
                                        "j1939 2 EF00 20 21 3 A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3"}));

    EXPECT_EQ(peer.Run("j1939-send 2 21 20 EA00 6 00EE00"), "0");
    // The peer's address claim came first, to everyone on the bus.
    EXPECT_EQ(app.Await("j1939 ", 2), (std::vector<std::string>{"j1939 2 EE00 21 FF 6 2100000000000000",
                                                                 "j1939 2 EA00 21 20 6 00EE00"}));
    EXPECT_EQ(peer.Quit(), 0);
}

// The NAMEs differ only in the identity number: 0x100 is the lower one.
TEST(AddressContest, TheLowerNameTakesTheAddressFromAnEarlierHolder) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    Peer peer(sim.Endpoint(), 101);
    ASSERT_EQ(peer.Run("ca 0 30 500"), "1 0");
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    const std::int32_t uid = app.CreateCa(CANBus0, 0x30, 0x100);
    ASSERT_GT(uid, 0);

    const std::string list = sim.Command("list");
    EXPECT_TRUE(Contains(SectionOf(list, 100), "J1939 CA can0 address 30 NAME 0000000000000100\n")) << list;
    EXPECT_TRUE(Contains(SectionOf(list, 101), "J1939 CA can0 address 30 NAME 0000000000000500 (lost its address)"))
        << list;
    // The winner's messages go out from the address.
    ASSERT_EQ(app.SendJ1939(CANBus0, 0x30, 0xFF, 6, 0xFEF2, {0}), 0);
    // The loser saw the winner's claim (its NAME, little-endian), then its message.
    const auto isJ1939 = [](const std::string& line) { return line.compare(0, 6, "j1939 ") == 0; };
    EXPECT_EQ(peer.Proc().AwaitLines(isJ1939, 2),
              (std::vector<std::string>{"j1939 0 EE00 30 FF 6 0001000000000000", "j1939 0 FEF2 30 FF 6 00"}));
    // The loser's library learnt from the platform's list of its CAs (which
    // came before the winner's message) that its CA lost the address, and
    // refuses to send from it. A raw frame sent after it on the same
    // connection shows that nothing came before it.
    EXPECT_EQ(peer.Run("j1939-send 0 30 FF FEF3 6 01"), "-99");
    EXPECT_EQ(peer.Run("can-send 0 18FEF4AA 1 02"), "0");
    EXPECT_EQ(app.Await("j1939 0 FEF", 1), (std::vector<std::string>{"j1939 0 FEF4 AA FF 6 02"}));
    EXPECT_EQ(peer.Quit(), 0);
}

TEST(AddressContest, AHigherNameLosesAndItsCreationReturnsNotRecoverable) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_GT(app.CreateCa(CANBus0, 0x31, 0x100), 0);
    Peer peer(sim.Endpoint(), 101);
    EXPECT_EQ(peer.Run("ca 0 31 500"), "-131 -131");

    const std::string list = sim.Command("list");
    EXPECT_TRUE(Contains(SectionOf(list, 100), "J1939 CA can0 address 31 NAME 0000000000000100\n")) << list;
    EXPECT_FALSE(Contains(SectionOf(list, 101), "NAME 0000000000000500\n")) << list;
    // The loser may take another address.
    EXPECT_EQ(peer.Run("ca 0 32 500"), "1 0");
    EXPECT_EQ(peer.Quit(), 0);
}

}  // namespace
}  // namespace integration
