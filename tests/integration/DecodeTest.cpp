// Signals by name: gateway-sim-decode over logs of every flavour, and the
// simulator's decoded views.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Harness.h"

namespace integration {
namespace {

const std::string kDbc = std::string(SIGNALDB_TEST_DATA) + "/vehicle.dbc";

// Runs gateway-sim-decode with `args`; its standard output and exit code.
std::string Decode(const std::vector<std::string>& args, int* status) {
    Process tool;
    std::vector<std::string> argv{GATEWAY_SIM_DECODE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(tool.Start(argv, {}));
    tool.CloseInput();
    *status = tool.Wait();
    std::string out;
    for (const auto& line : tool.Lines()) out += line + "\n";
    return out;
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
    const std::string decoded = Decode({"--dbc", kDbc, folder / "mixed.log"}, &status);
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

    const std::string csv = Decode({"--dbc", "can1:" + kDbc, "--dbc", "can0:" + kDbc, "--signals",
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

    Decode({"--dbc", kDbc, "--signals", "EEC1.NoSuchSignal", folder / "mixed.log"}, &status);
    EXPECT_EQ(status, 2);
    {
        std::ofstream bad(folder / "bad.dbc");
        bad << "BU_: A\nBO_ 100 M: 8 A\n SG_ S : 0|8@1+ (1,0) [0|1] \"\" A\n SG_ T : 8|8@3+ (1,0) [0|1] \"\" A\n";
    }
    Decode({"--dbc", folder / "bad.dbc", folder / "mixed.log"}, &status);
    EXPECT_EQ(status, 1);
}

}  // namespace
}  // namespace integration
