// Every answer to its own request: late, withheld and failed answers of the
// simulator's EEPROM and plug-in services, and a platform that takes nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

using CustomApplication::PluginTypes::FileData;
using CustomApplication::PluginTypes::FileMode;
using CustomApplication::PluginTypes::FileStats;

// Each case on a simulator of its own.
class Answers : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.Start()); }

    // Files of 16 bytes for the plug-in file modes 0 and 1, each of one letter.
    void ServeFiles() {
        const std::filesystem::path files = std::filesystem::path(sim.Data()) / "plugin-files";
        std::filesystem::create_directories(files);
        std::ofstream(files / "mode0.bin", std::ios::binary) << std::string(16, 'A');
        std::ofstream(files / "mode1.bin", std::ios::binary) << std::string(16, 'B');
    }

    // Runs `run` until it gives something other than "-114 -", which it
    // gives while an earlier answer is still owed; that result.
    static std::string OnceNotRefused(const std::function<std::string()>& run) {
        std::string result;
        Eventually([&] { return (result = run()).compare(0, 4, "-114") != 0; });
        return result;
    }

    TempFolder folder;
    Simulator sim{folder};
};

// A late answer is never another operation's: a read whose answer could not
// be told from the owed one's is refused until that answer came; so is a
// save, whose failure is then reported.
TEST_F(Answers, ALateEepromAnswerIsNeverTakenForALaterOperation) {
    Peer app(sim.Endpoint(), 130);
    ASSERT_EQ(app.Run("ee-write 0 4F4C4421"), "0");  // "OLD!"
    sim.Command("delay eeprom 1000");
    EXPECT_EQ(app.Run("ee-read 0 4"), "-110 -");  // served as "OLD!", answered 1 s later
    sim.Command("delay eeprom 0");
    EXPECT_EQ(app.Run("ee-write 0 4E455721"), "0");  // "NEW!"
    // Sent now, this read would still wait when the first read's answer comes.
    sim.Command("delay eeprom 800");
    EXPECT_EQ(app.Run("ee-read 0 4"), "-114 -");
    sim.Command("delay eeprom 0");
    EXPECT_EQ(OnceNotRefused([&] { return app.Run("ee-read 0 4"); }), "0 4E455721");

    sim.Command("delay eeprom 700");
    EXPECT_EQ(app.Run("ee-save"), "-110");  // it saves; its "0" comes late
    sim.Command("eeprom 130 fail save");
    sim.Command("delay eeprom 300");
    EXPECT_EQ(app.Run("ee-save"), "-114");
    sim.Command("delay eeprom 0");
    EXPECT_EQ(OnceNotRefused([&] { return app.Run("ee-save"); }), "-5");
    EXPECT_EQ(app.Quit(), 0);
}

// A block answer names its file mode and offset: the late block of mode 0
// is not taken for mode 1's block at the same offset.
TEST_F(Answers, ALateFileBlockIsNeverTakenForAnotherModesBlock) {
    ServeFiles();
    LocalApp app(sim.Endpoint(), 131, 1);
    ASSERT_EQ(app.InitResult(), 0);
    FileData data{};
    sim.Command("delay plugin 1200");
    EXPECT_EQ(app.sdk.PluginGetFileData(&data, FileMode(0), 0, 16, 0), -110);
    sim.Command("delay plugin 400");
    ASSERT_EQ(app.sdk.PluginGetFileData(&data, FileMode(1), 0, 16, 0), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.Data), data.Length), std::string(16, 'B'));
}

// No answer crosses into a new connection: a summary query refused while a
// withheld one's answer was owed goes out again once the connection is new.
TEST_F(Answers, ASummaryQueryIsAnsweredAtOnceOnANewConnection) {
    ServeFiles();
    LocalApp app(sim.Endpoint(), 132, 1);
    ASSERT_EQ(app.InitResult(), 0);
    FileStats stats{};
    sim.Command("withhold plugin 1");
    EXPECT_EQ(app.sdk.PluginGetFileStats(&stats, FileMode(0)), -110);
    EXPECT_EQ(app.sdk.PluginGetFileStats(&stats, FileMode(0)), -114);
    sim.Command("restart");
    // Well before the owed answer's 10 s have passed.
    EXPECT_TRUE(Eventually([&] { return app.sdk.PluginGetFileStats(&stats, FileMode(0)) == 0; }, 3000));
    EXPECT_EQ(stats.Value0, 16u);
}

// A request the platform does not take fails with -11 at once, each after
// one write's bound, and leaves nothing owed.
TEST_F(Answers, RequestsThePlatformDoesNotTakeFailWithPlatformBusy) {
    ServeFiles();
    LocalApp app(sim.Endpoint(), 133, 1);
    ASSERT_EQ(app.InitResult(), 0);
    sim.Command("stall 133 60000");
    // Fill the connection until the platform takes no more.
    std::int32_t sent = 0;
    for (int i = 0; i < 1'000'000 && sent == 0; ++i) sent = app.SendCan(CustomApplication::CoreTypes::CANBus1, 0x123, false, {1});
    ASSERT_EQ(sent, -11);

    CustomApplication::J1939Types::J1939Name name{};
    CustomApplication::J1939Types::J1939ReceiveTableEntry receive{};
    CustomApplication::J1939Types::J1939TransmitTableEntry transmit{};
    EXPECT_EQ(app.sdk.J1939CreateCA(CustomApplication::CoreTypes::CANBus1, 0x80, &name, &receive, 0, &transmit, 0),
              -11);
    FileStats stats{};
    EXPECT_EQ(app.sdk.PluginGetFileStats(&stats, FileMode(0)), -11);
    FileData data{};
    EXPECT_EQ(app.sdk.PluginGetFileData(&data, FileMode(0), 0, 16, 0), -11);

    sim.Command("clear");
    EXPECT_TRUE(Eventually([&] { return app.sdk.PluginGetFileStats(&stats, FileMode(0)) == 0; }));
    EXPECT_EQ(stats.Value0, 16u);
}

}  // namespace
}  // namespace integration
