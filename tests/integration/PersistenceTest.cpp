// The virtual EEPROM across a restart of the simulator.
#include <gtest/gtest.h>

#include <filesystem>

#include "Harness.h"

namespace integration {
namespace {

TEST(Eeprom, SavedBytesSurviveARestartOfTheSimulatorAndUnsavedOnesDoNot) {
    TempFolder folder;
    {
        Simulator sim(folder);
        ASSERT_TRUE(sim.Start());
        Peer writer(sim.Endpoint(), 120);
        ASSERT_EQ(writer.InitResult(), 0);
        EXPECT_EQ(writer.Run("ee-state"), "2");  // blank: never saved
        EXPECT_EQ(writer.Run("ee-write 10 0102A0B0"), "0");
        EXPECT_EQ(writer.Run("ee-write FFC 11223344"), "0");  // the last four bytes
        EXPECT_EQ(writer.Run("ee-save"), "0");
        EXPECT_EQ(writer.Run("ee-state"), "0");
        EXPECT_EQ(writer.Run("ee-write 20 55"), "0");  // never saved: lost with the simulator
        EXPECT_EQ(writer.Run("ee-state"), "1");
        EXPECT_EQ(writer.Quit(), 0);
        EXPECT_EQ(sim.Stop(), 0);
    }
    EXPECT_TRUE(std::filesystem::exists(folder / "data/eeprom-120.bin"));
    EXPECT_FALSE(std::filesystem::exists(folder / "data/eeprom-120.bin.tmp"));

    Simulator restarted(folder);
    ASSERT_TRUE(restarted.Start());
    Peer reader(restarted.Endpoint(), 120);
    ASSERT_EQ(reader.InitResult(), 0);
    EXPECT_EQ(reader.Run("ee-state"), "0");
    EXPECT_EQ(reader.Run("ee-read 10 4"), "0 0102A0B0");
    EXPECT_EQ(reader.Run("ee-read FFC 4"), "0 11223344");
    EXPECT_EQ(reader.Run("ee-read 20 1"), "0 FF");
    EXPECT_EQ(reader.Run("ee-read FFE 4"), "-14 -");  // past the end
    // Another application has an EEPROM of its own.
    Peer other(restarted.Endpoint(), 121);
    EXPECT_EQ(other.Run("ee-read 10 4"), "0 FFFFFFFF");
    EXPECT_EQ(other.Run("ee-state"), "2");
    EXPECT_EQ(reader.Quit(), 0);
    EXPECT_EQ(other.Quit(), 0);
    EXPECT_EQ(restarted.Stop(), 0);
}

}  // namespace
}  // namespace integration
