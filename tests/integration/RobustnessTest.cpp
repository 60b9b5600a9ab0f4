// An application that dies mid-stream takes nothing down with it.
#include <gtest/gtest.h>

#include <signal.h>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

using CustomApplication::CoreTypes::CANBus0;

TEST(Robustness, AnApplicationKilledMidStreamLeavesTheSimulatorServingTheOthers) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_TRUE(app.ListenToCan(CANBus0));
    Peer other(sim.Endpoint(), 102);
    ASSERT_EQ(other.Run("can-init 0"), "1 0 0");
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) {
        return Contains(SectionOf(list, 100), "can0") && Contains(SectionOf(list, 102), "can0");
    }));
    // A chatty application: a frame every 2 ms.
    Peer streamer(sim.Endpoint(), 101);
    ASSERT_EQ(streamer.Run("can-init 0 123 2"), "1 0 0");
    ASSERT_GE(app.Await("can 0 123 ", 20).size(), 20u);

    streamer.Proc().Kill(SIGKILL);
    EXPECT_EQ(streamer.Proc().Wait(), 128 + SIGKILL);
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) { return !Contains(list, "application 101:"); }))
        << sim.Command("list");

    // The other two still reach each other both ways.
    ASSERT_EQ(app.SendCan(CANBus0, 0x222, false, {0x22}), 0);
    EXPECT_EQ(other.Proc().AwaitLine([](const std::string& l) { return l.compare(0, 10, "can 0 222 ") == 0; }),
              "can 0 222 0 22");
    EXPECT_EQ(other.Run("can-send 0 333 0 33"), "0");
    EXPECT_EQ(app.Await("can 0 333 ", 1), (std::vector<std::string>{"can 0 333 0 33"}));
    const std::string list = sim.Command("list");
    EXPECT_TRUE(Contains(list, "application 100:")) << list;
    EXPECT_TRUE(Contains(list, "application 102:")) << list;
    EXPECT_TRUE(sim.Proc().Running());
    EXPECT_EQ(other.Quit(), 0);
    EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
}  // namespace integration
