// The example applications against the simulator, as the main job runs them:
// what is injected reaches their callbacks, the EEPROM counter survives a
// restart, a plug-in job reads its file, and a stop signal ends them cleanly.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

std::string Has(Process& process, const std::string& part) {
    return process.AwaitLine([&](const std::string& line) { return Contains(line, part); });
}

TEST(Examples, VehicleAppReceivesEveryBusAndCountsItsStartsAcrossARestart) {
    TempFolder folder;
    {
        Simulator sim(folder);
        ASSERT_TRUE(sim.Start());
        Process app;
        ASSERT_TRUE(app.Start({VEHICLE_APP_PATH, "25", "100"}, {"GATREL_ENDPOINT=" + sim.Endpoint()}));
        ASSERT_NE(Has(app, "ready"), "");
        EXPECT_NE(Has(app, "EEPROM start number 1 "), "");
        ASSERT_TRUE(sim.AwaitList([](const std::string& list) {
            return Contains(SectionOf(list, 100), "J1708 subscription");
        }));
        sim.Command("can0 100#0FA0");
        sim.Command("can0 20A#01.02");
        sim.Command("can0 123#FF");
        sim.Command("can1 18FEF100#00003C00");
        sim.Command("j1708 80#5402");
        sim.Command("j1708 91#01");
        EXPECT_EQ(Has(app, "can0 100 "), "CAN    can0 100 [2] 0F A0  (row: speed request)");
        EXPECT_EQ(Has(app, "can0 20A "), "CAN    can0 20A [2] 01 02  (row: diagnostics 200-20F)");
        EXPECT_EQ(Has(app, "can0 123 "), "CAN    can0 123 [1] FF  (catch-all, standard)");
        EXPECT_EQ(Has(app, "PGN 0FEF1"), "J1939  can1 PGN 0FEF1 00->FF prio 6 [4] 00 00 3C 00  (row: vehicle speed 60.0 km/h)");
        EXPECT_EQ(Has(app, "MID 80 "), "J1708  MID 80 [2] 54 02 checksum 2A  (row: engine)");
        EXPECT_EQ(Has(app, "MID 91 "), "J1708  MID 91 [1] 01 checksum 6E  (catch-all)");
        // The host's task checks in with the watchdog every 500 ms.
        EXPECT_NE(Has(app, "[host] watchdog: task 1 checked in"), "");

        app.Kill(SIGTERM);
        EXPECT_EQ(app.Wait(), 0);
        EXPECT_NE(Has(app, "shut down"), "");
        EXPECT_EQ(sim.Stop(), 0);
    }
    Simulator restarted(folder);
    ASSERT_TRUE(restarted.Start());
    Process again;
    ASSERT_TRUE(again.Start({VEHICLE_APP_PATH, "25", "100"}, {"GATREL_ENDPOINT=" + restarted.Endpoint()}));
    EXPECT_NE(Has(again, "EEPROM start number 2 "), "");
    again.Kill(SIGTERM);
    EXPECT_EQ(again.Wait(), 0);
}

// The README's application: its receive row prints the injected frame; its
// cyclic row, its J1939 message and its EEPROM counter reach the simulator.
TEST(Examples, QuickstartOfTheReadmeUsesEachService) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start({"--log", folder / "bus.log"}));
    Process app;
    ASSERT_TRUE(app.Start({QUICKSTART_PATH, "25"}, {"GATREL_ENDPOINT=" + sim.Endpoint()}));
    EXPECT_EQ(Has(app, "start number"), "CANInit 1, J1939CreateCA 1, J1939SendMessage 0, EEPROM 0: start number 1");
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) { return Contains(SectionOf(list, 100), "CAN subscription"); }));
    sim.Command("can0 100#0FA0");
    EXPECT_EQ(Has(app, "received"), "received on can0: 100 [2] 0F A0");
    // The J1939 message leaves once the CA's address claim is through.
    std::string text;
    EXPECT_TRUE(Eventually([&] {
        std::ifstream log(folder / "bus.log");
        text.assign(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
        return Contains(text, "can1 18FF0080#C0FFEE") && Contains(text, "can0 321#1234");
    })) << text;
    app.Kill(SIGTERM);
    app.Wait();
    ASSERT_EQ(sim.Stop(), 0);
    std::ifstream eeprom(folder / "data/eeprom-100.bin", std::ios::binary);
    EXPECT_EQ(eeprom.get(), 1) << "no EEPROM file with the counter";
}

TEST(Examples, PluginJobReadsTheFileOfEachJobAndReportsProgress) {
    TempFolder folder;
    std::filesystem::create_directories(folder / "data/plugin-files");
    {
        std::ofstream file(folder / "data/plugin-files/mode1.bin", std::ios::binary);
        for (int i = 0; i < 9000; ++i) file.put(static_cast<char>(i * 7));
    }
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    Process plugin;
    ASSERT_TRUE(plugin.Start({PLUGIN_JOB_PATH, "25", "200", "7"}, {"GATREL_ENDPOINT=" + sim.Endpoint()}));
    ASSERT_NE(Has(plugin, "ready"), "");
    // Under load the simulator may print its own view of the registration later.
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) { return !SectionOf(list, 200).empty(); }));
    sim.Command("job 200 0 2 1");
    EXPECT_EQ(Has(plugin, "job start"), "job start: comms mode 0, bus 2, parameter 1");
    EXPECT_NE(Has(plugin, "read 9000 bytes"), "");
    EXPECT_TRUE(Contains(Has(plugin, "read 9000 bytes"), "matches the summary"));
    // The final report reached the simulator: state 2, all bytes.
    EXPECT_TRUE(sim.AwaitList([](const std::string& list) {
        return Contains(SectionOf(list, 200), "state 2, progress 100, value 9000");
    })) << sim.Command("list");
    // A job for a file that is not there fails and says so.
    sim.Command("job 200 0 2 0");
    EXPECT_NE(Has(plugin, "block at 0 failed: -2"), "");
    plugin.Kill(SIGTERM);
    EXPECT_EQ(plugin.Wait(), 0);
    EXPECT_NE(Has(plugin, "2 jobs handled"), "");
}

}  // namespace
}  // namespace integration
