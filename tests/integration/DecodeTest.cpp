// Signals by name: gateway-sim-decode over logs of every flavour, and the
// simulator's decoded views.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Harness.h"

namespace integration {
namespace {

const std::string kDbc = std::string(SIGNALDB_TEST_DATA) + "/vehicle.dbc";

// Runs gateway-sim-decode with `args`; its standard output (gathered in a
// file, complete once the tool has ended) and exit code.
std::string Decode(const TempFolder& folder, const std::vector<std::string>& args, int* status) {
    std::string command = "exec '" + std::string(GATEWAY_SIM_DECODE_PATH) + "'";
    for (const auto& arg : args) command += " '" + arg + "'";
    command += " > '" + (folder / "decoded.txt") + "'";
    Process tool;
    EXPECT_TRUE(tool.Start({"/bin/sh", "-c", command}, {}));
    tool.CloseInput();
    *status = tool.Wait();
    std::ifstream in(folder / "decoded.txt");
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TEST(Decode, LogsOfEveryFlavourDecodeToSignalsAndCsv) {
    TempFolder folder;
    {
        std::ofstream log(folder / "mixed.log");
        log << "# ours, can-utils' candump -l and python-can's, with a BAM of a 16-byte message\n"
               "(1700000000.000100) can1 0CF00400#F1FF7D0032FFFFFF\n"
               "(1700000000.001000) vcan0 123#0123456789ABCDEF\n"
               "(1700000000.002000) can0 500#02A00A1E00000000 R\n"
               "(1700000000.010000) can2 18ECFF00#20100003FF10FF00\n"
               "(1700000000.060000) can2 18EBFF00#0101020304050607\n"
               "(1700000000.110000) can2 18EBFF00#0208090A0B0C0D0E\n"
               "(1700000000.160000) can2 18EBFF00#030F10FFFFFFFFFF\n"
               "(1700000000.170000) can1 18F00431#F1FF7D0000FFFFFF T\n"
               "(1700000000.180000) can1 7FF#00\n";
    }
    int status = -1;
    const std::string decoded = Decode(folder, {"--dbc", kDbc, folder / "mixed.log"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(decoded.find("(1700000000.000100) can1 0CF00400#F1FF7D0032FFFFFF ::\nEEC1(\n"
                           "    EngTorqueMode: 'AcceleratorPedal',\n    ActualEnginePercentTorque: 0 %,\n"
                           "    EngineSpeed: 1600 rpm\n)\n"),
              std::string::npos)
        << decoded;
    // Motorola signals crossing bytes, signed, and a named value from a table.
    EXPECT_NE(decoded.find("BrakeStatus(\n    Pressure: 29.1 bar,\n    Angle: 162.5 deg,\n    PadWear: 618 %,\n"
                           "    Gear: 13,\n    Slip: -65 %\n)"),
              std::string::npos)
        << decoded;
    // The message that the BAM completed, decoded whole after its last packet.
    EXPECT_NE(decoded.find("(1700000000.160000) can2 18EBFF00#030F10FFFFFFFFFF\n"
                           "(1700000000.160000) can2 18FF1000#0102030405060708090A0B0C0D0E0F10 ::\nLongStatus("),
              std::string::npos)
        << decoded;
    EXPECT_NE(decoded.find("TailTemp: 334.2 degC"), std::string::npos) << decoded;
    EXPECT_NE(decoded.find("\n(1700000000.180000) can1 7FF#00\n"), std::string::npos) << decoded;

    const std::string csv = Decode(folder, {"--dbc", "can1:" + kDbc, "--dbc", "can0:" + kDbc, "--signals",
                                    "EEC1.EngineSpeed,Diagnostics.FuelRate,Diagnostics.OilTemp,BrakeStatus.Angle",
                                    folder / "mixed.log"},
                                   &status);
    EXPECT_EQ(status, 0);
    // The BAM on can2 has no file: its message is not decoded.
    EXPECT_EQ(csv,
              "time,EEC1.EngineSpeed,Diagnostics.FuelRate,Diagnostics.OilTemp,BrakeStatus.Angle\n"
              "1700000000.000100,1600,,,\n"
              "1700000000.001000,,,,162.5\n"
              "1700000000.002000,,136,,\n"
              "1700000000.170000,0,,,\n");

    Decode(folder, {"--dbc", kDbc, "--signals", "EEC1.NoSuchSignal", folder / "mixed.log"}, &status);
    EXPECT_EQ(status, 2);
    {
        std::ofstream bad(folder / "bad.dbc");
        bad << "BU_: A\nBO_ 100 M: 8 A\n SG_ S : 0|8@1+ (1,0) [0|1] \"\" A\n SG_ T : 8|8@3+ (1,0) [0|1] \"\" A\n";
    }
    Decode(folder, {"--dbc", folder / "bad.dbc", folder / "mixed.log"}, &status);
    EXPECT_EQ(status, 1);
}

bool Has(const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; }

TEST(Decode, TheSimulatorWatchesSignalsAndDecodesFramesOnItsBuses) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start({"--dbc", "can1:" + kDbc, "--bitrate", "unlimited"}));
    EXPECT_EQ(sim.Command("watch EEC1.EngineSpeed Diagnostics.OilTemp"), "");
    EXPECT_EQ(sim.Command("watch"), "EEC1.EngineSpeed\nDiagnostics.OilTemp\n");

    sim.Command("can1 0CF00400#F1FF7D0032FFFFFF");
    sim.Command("can1 18F00431#F1FF7D0032FFFFFF");  // another sender of the PGN: its own value
    sim.Command("can1 0CF00400#F1FF7D0032FFFFFF");  // no change: no line
    sim.Command("can0 0CF00400#F1FF7D0033FFFFFF");  // no file for can0
    sim.Command("can1 500#02A00A1E00000000");       // OilTemp not selected by the multiplexor
    sim.Command("can1 0CF00400#F1FF7D0033FFFFFF");
    const auto watched = sim.Proc().AwaitLines([](const std::string& l) { return Has(l, " = "); }, 3);
    ASSERT_EQ(watched.size(), 3u);
    EXPECT_TRUE(Has(watched[0], ") can1 EEC1.EngineSpeed = 1600 rpm")) << watched[0];
    EXPECT_TRUE(Has(watched[1], ") can1 EEC1.EngineSpeed = 1600 rpm")) << watched[1];
    EXPECT_TRUE(Has(watched[2], ") can1 EEC1.EngineSpeed = 1632 rpm (was 1600 rpm)")) << watched[2];

    // A name the files lack is refused and changes nothing.
    gatewaysim::ControlClient client;
    ASSERT_EQ(client.Connect(folder / "control"), 0);
    std::string output;
    EXPECT_FALSE(client.Execute("watch EEC1.EngineSpeed EEC1.NoSuchSignal", &output));
    EXPECT_TRUE(Has(output, "no signal NoSuchSignal")) << output;
    EXPECT_FALSE(client.Execute("unwatch CCVS1.WheelBasedVehicleSpeed", &output));
    EXPECT_EQ(sim.Command("watch"), "EEC1.EngineSpeed\nDiagnostics.OilTemp\n");

    EXPECT_EQ(sim.Command("unwatch"), "");
    EXPECT_EQ(sim.Command("decode"), "decoded frames on\n");
    sim.Command("can1 123#0123456789ABCDEF");
    const std::string decoded = sim.Proc().AwaitLine([](const std::string& l) { return Has(l, "BrakeStatus("); });
    EXPECT_TRUE(Has(decoded, ") can1 123#0123456789ABCDEF :: BrakeStatus(Pressure: 29.1 bar, Angle: 162.5 deg, "
                             "PadWear: 618 %, Gear: 13, Slip: -65 %)"))
        << decoded;
    EXPECT_EQ(sim.Command("decode off"), "decoded frames off\n");
    EXPECT_EQ(sim.Stop(), 0);

    // Without --dbc the commands are refused; a malformed file stops the start.
    TempFolder plain;
    Simulator without(plain);
    ASSERT_TRUE(without.Start());
    gatewaysim::ControlClient other;
    ASSERT_EQ(other.Connect(plain / "control"), 0);
    EXPECT_FALSE(other.Execute("decode", &output));
    EXPECT_TRUE(Has(output, "--dbc")) << output;
    {
        std::ofstream bad(folder / "bad.dbc");
        bad << "BO_ 100 M: 8 A\n SG_ S : 0|8@1+ (1,0) [0|1 \"\" A\n";
    }
    TempFolder third;
    Simulator refused(third);
    EXPECT_FALSE(refused.Start({"--dbc", folder / "bad.dbc"}));
    EXPECT_EQ(refused.Proc().Wait(), 1);
}

}  // namespace
}  // namespace integration
