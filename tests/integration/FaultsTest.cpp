// Platform faults on demand, each with a real application under it.
#include <gtest/gtest.h>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

const auto kIsCan = [](const std::string& line) { return line.compare(0, 4, "can ") == 0; };

// Each case on a simulator of its own.
class Faults : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.Start()); }
    TempFolder folder;
    Simulator sim{folder};
};

TEST_F(Faults, WithheldDelayedAndFailedEepromAnswers) {
    Peer app(sim.Endpoint(), 120);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_EQ(app.Run("ee-write 0 0102"), "0");

    // A withheld answer never comes: the operation times out; one whose
    // answer could not be told from the one still owed is refused, the
    // others are answered.
    sim.Command("withhold eeprom 1");
    EXPECT_NE(sim.Command("faults").find("eeprom answers withheld, the next 1"), std::string::npos);
    EXPECT_EQ(app.Run("ee-read 4 2"), "-110 -");
    EXPECT_EQ(sim.Command("faults"), "no fault in force\n");
    EXPECT_EQ(app.Run("ee-read 4 2"), "-114 -");
    EXPECT_EQ(app.Run("ee-read 0 2"), "0 0102");
    // An answer later than the library waits is as good as none; one within
    // its time is taken.
    sim.Command("delay eeprom 900");
    EXPECT_EQ(app.Run("ee-read 6 2"), "-110 -");
    sim.Command("delay eeprom 150");
    EXPECT_EQ(app.Run("ee-state"), "1");
    sim.Command("delay eeprom 0");

    // A failing EEPROM: each operation reports the failure; a failed save
    // leaves the state "save failed" and the old file.
    sim.Command("eeprom 120 fail read");
    EXPECT_EQ(app.Run("ee-read 0 2"), "-5 -");
    sim.Command("eeprom 120 fail write");
    EXPECT_EQ(app.Run("ee-write 0 0304"), "-5");
    EXPECT_EQ(app.Run("ee-read 0 2"), "0 0102");
    sim.Command("eeprom 120 fail save");
    EXPECT_NE(sim.Command("faults").find("EEPROM save of application 120 fails"), std::string::npos);
    EXPECT_EQ(app.Run("ee-save"), "-5");
    EXPECT_EQ(app.Run("ee-state"), "3");
    sim.Command("clear");
    EXPECT_EQ(app.Run("ee-save"), "0");
    EXPECT_EQ(app.Run("ee-state"), "0");
    EXPECT_EQ(app.Quit(), 0);
}

TEST_F(Faults, AnApplicationRecoversFromAStallLongerThanItsWait) {
    Peer app(sim.Endpoint(), 122);
    ASSERT_EQ(app.InitResult(), 0);
    sim.Command("stall 122 1500");
    EXPECT_NE(sim.Command("faults").find("stall of application 122 for 1500 ms"), std::string::npos);
    EXPECT_EQ(app.Run("ee-state"), "5");  // no answer in time
    EXPECT_TRUE(Eventually([&] { return sim.Command("faults") == "no fault in force\n"; }));
    EXPECT_EQ(app.Run("ee-write 0 AA"), "0");
    EXPECT_EQ(app.Run("ee-read 0 1"), "0 AA");
    // Every application stalled, until the operator clears it.
    sim.Command("stall all 60000");
    EXPECT_EQ(app.Run("ee-state"), "5");
    sim.Command("clear");
    // Until the stalled query's answer came, the next is refused (state 5):
    // no answer could tell the two apart.
    EXPECT_TRUE(Eventually([&] { return app.Run("ee-state") == "1"; }));
    EXPECT_EQ(app.Quit(), 0);
}

TEST_F(Faults, ASilentBusRefusesAndCountsWhatIsSent) {
    Peer sender(sim.Endpoint(), 123);
    Peer receiver(sim.Endpoint(), 124);
    ASSERT_EQ(sender.Run("can-init 1").substr(0, 1), "1");
    ASSERT_EQ(receiver.Run("can-init 1").substr(0, 1), "1");
    sim.Command("silence can1 60000");
    EXPECT_EQ(sender.Run("can-send 1 123 0 AA"), "0");
    EXPECT_EQ(sender.Run("can-send 1 124 0 BB"), "0");
    EXPECT_TRUE(Eventually([&] { return sim.Command("faults").find("2 frames refused") != std::string::npos; }))
        << sim.Command("faults");
    sim.Command("clear");
    EXPECT_EQ(sender.Run("can-send 1 125 0 CC"), "0");
    // Only the frame after the silence reaches the other application.
    EXPECT_EQ(receiver.Proc().AwaitLines(kIsCan, 1), (std::vector<std::string>{"can 1 125 0 CC"}));
    EXPECT_EQ(sender.Quit(), 0);
    EXPECT_EQ(receiver.Quit(), 0);
}

TEST_F(Faults, ARestartClosesEveryConnectionAndKeepsOnlyWhatWasSaved) {
    Peer app(sim.Endpoint(), 125);
    ASSERT_EQ(app.InitResult(), 0);
    EXPECT_EQ(app.Run("ee-write 0 0102"), "0");
    EXPECT_EQ(app.Run("ee-save"), "0");
    EXPECT_EQ(app.Run("ee-write 0 0304"), "0");  // not saved: lost with the restart
    sim.Command("restart");
    // The library connects anew by itself and registers again; the platform
    // kept only what was saved.
    EXPECT_TRUE(Eventually([&] { return app.Run("ee-read 0 2") == "0 0102"; }));
    EXPECT_TRUE(sim.AwaitList([](const std::string& list) { return Contains(list, "application 125"); }));
    EXPECT_EQ(app.Run("ee-state"), "0");
    EXPECT_EQ(app.Quit(), 0);
}

TEST_F(Faults, ANodeOnTheBusTakesACasAddress) {
    Peer app(sim.Endpoint(), 127);
    ASSERT_EQ(app.Run("ca 1 80 500"), "1 0");
    sim.Command("take can1 0x80");
    const auto isJ1939 = [](const std::string& line) { return line.compare(0, 6, "j1939 ") == 0; };
    // The application sees the node's claim with NAME 0, and its CA has lost the address.
    EXPECT_EQ(app.Proc().AwaitLines(isJ1939, 1), (std::vector<std::string>{"j1939 1 EE00 80 FF 6 0000000000000000"}));
    EXPECT_TRUE(sim.AwaitList([](const std::string& list) {
        return Contains(SectionOf(list, 127), "J1939 CA can1 address 80 NAME 0000000000000500 (lost its address)");
    })) << sim.Command("list");
    EXPECT_NE(sim.Command("faults").find("a node on can1 claims address 80 with NAME 0000000000000000"),
              std::string::npos);
    EXPECT_EQ(app.Quit(), 0);
}

TEST_F(Faults, ACaThatLostItsAddressRefusesToSend) {
    Peer app(sim.Endpoint(), 128);
    ASSERT_EQ(app.Run("ca 1 81 500"), "1 0");
    sim.Command("take can1 0x81 1");
    EXPECT_TRUE(sim.AwaitList([](const std::string& list) { return Contains(list, "(lost its address)"); }));
    // The library learns it from the platform's list of its CAs.
    EXPECT_TRUE(Eventually([&] { return app.Run("j1939-send 1 81 FF FEF1 6 01") == "-99"; }));
    EXPECT_EQ(app.Quit(), 0);
}

}  // namespace
}  // namespace integration
