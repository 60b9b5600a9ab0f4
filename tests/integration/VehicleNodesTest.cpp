// A simulated ECU from a nodes file, asked by a real application.
#include <gtest/gtest.h>

#include <fstream>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

using CustomApplication::CoreTypes::CANBus2;

TEST(VehicleNodes, AnApplicationHearsANodeOfItsDbcAndRequestsItsIdentifications) {
    TempFolder folder;
    std::ofstream(folder / "truck.dbc") << "VERSION \"\"\nBU_: Engine\n"
                                           "BO_ 2364539904 EEC1: 8 Engine\n"
                                           " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Vector__XXX\n"
                                           "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 65535;\n"
                                           "BA_DEF_ SG_ \"GenSigStartValue\" FLOAT -1e10 1e10;\n"
                                           "BA_ \"GenMsgCycleTime\" BO_ 2364539904 100;\n"
                                           "BA_ \"GenSigStartValue\" SG_ 2364539904 EngineSpeed 6400;\n";
    std::ofstream(folder / "truck.nodes") << "# the engine\n"
                                             "node engine can2 address 00 from Engine\n"
                                             "ident engine software ECM 4.2\n"
                                             "ident engine vin 1XKAD49X0CJ123456\n";
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start({"--dbc", "can2:" + folder / "truck.dbc", "--nodes", folder / "truck.nodes"}));
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_GT(app.CreateCa(CANBus2, 0x80, 0x80), 0);
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) {
        return Contains(SectionOf(list, 100), "J1939 subscription can2 all");
    }));

    // Software identification: one frame; the VIN, 18 bytes, by RTS/CTS to
    // the application's CA; a PGN the engine lacks: a NACK.
    ASSERT_EQ(app.SendJ1939(CANBus2, 0x80, 0x00, 6, 0xEA00, {0xDA, 0xFE, 0x00}), 0);
    ASSERT_EQ(app.SendJ1939(CANBus2, 0x80, 0x00, 6, 0xEA00, {0xEC, 0xFE, 0x00}), 0);
    ASSERT_EQ(app.SendJ1939(CANBus2, 0x80, 0x00, 6, 0xEA00, {0xE5, 0xFE, 0x00}), 0);
    const auto answers = [&](const std::string& pgn) { return app.Await("j1939 2 " + pgn + " 0 ", 1); };
    EXPECT_EQ(answers("FEDA"), (std::vector<std::string>{"j1939 2 FEDA 0 80 6 0145434D20342E322A"}));
    EXPECT_EQ(answers("FEEC"),
              (std::vector<std::string>{"j1939 2 FEEC 0 80 6 31584B414434395830434A3132333435362A"}));
    EXPECT_EQ(answers("E800"), (std::vector<std::string>{"j1939 2 E800 0 FF 6 01FFFFFF80E5FE00"}));
    // Its EEC1 every 100 ms, the speed at its start value (800 rpm), then as set.
    EXPECT_EQ(app.Await("j1939 2 F004 0 FF 3 ", 1).at(0), "j1939 2 F004 0 FF 3 0000000019000000");
    sim.Command("set engine.EEC1.EngineSpeed 1000");
    EXPECT_FALSE(app.Await("j1939 2 F004 0 FF 3 000000401F", 1).empty());
    EXPECT_NE(sim.Command("nodes").find("engine can2 address 00 NAME 0000000000000200 from Engine: on the bus"),
              std::string::npos);
}

}  // namespace
}  // namespace integration
