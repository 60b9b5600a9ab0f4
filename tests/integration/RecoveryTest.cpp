// The simulator held up, killed and restarted under a running application:
// the application keeps its connection through a stall, sees a lost
// connection at once, and gets back everything it had registered once the
// simulator accepts again, with no action of its own.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

using namespace CustomApplication;
using CoreTypes::CANBus0;
using CoreTypes::CANBus1;
using CoreTypes::CANBus2;
using Steady = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The bus log's line for a standard frame of `id` with one byte `value`.
std::string Logged(int bus, unsigned id, unsigned value) {
    char frame[32];
    std::snprintf(frame, sizeof frame, "can%d %03X#%02X", bus, id, value);
    return frame;
}

// A cyclic row of 0x120 every 5 ms on bus 0 (a 3 s stall fills the socket
// with it), catch-alls on bus 1.
void SetUpCan(LocalApp& app) {
    static const unsigned char kCycle[1] = {0xC1};
    std::vector<CANTypes::CANTransmitTableEntry> cyclic = {{kCycle, 1, 0x120, CANTypes::Standard, 5}};
    ASSERT_GT(app.InitCanRows(CANBus0, {{0x7EF, false}}, cyclic), 0);
    ASSERT_TRUE(app.ListenToCan(CANBus1));
}

// Frames of the cyclic row 0x120 that the peer has received so far.
std::size_t CyclicSeen(Peer& peer) {
    std::size_t count = 0;
    for (const std::string& line : peer.Proc().Lines()) count += line.compare(0, 10, "can 0 120 ") == 0;
    return count;
}

TEST(Recovery, AHeldUpSimulatorCostsOnlyWhatCouldNotBeWrittenInTime) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start({"--log", folder / "bus.log"}));
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    SetUpCan(app);
    Peer peer(sim.Endpoint(), 101);
    ASSERT_EQ(peer.Run("can-init 0"), "1 0 0");
    ASSERT_EQ(peer.Run("can-init 1"), "2 0 0");
    ASSERT_TRUE(Eventually([&] { return CyclicSeen(peer) >= 5; }));

    unsigned value = 0;
    for (const int stallMs : {1000, 3000}) {
        SCOPED_TRACE(stallMs);
        sim.Proc().Kill(SIGSTOP);
        // Sends while the simulator is held up: each either goes out or says it did not.
        std::vector<std::pair<unsigned, std::int32_t>> sent;
        const auto resume = Steady::now() + std::chrono::milliseconds(stallMs);
        while (Steady::now() < resume && sent.size() < 20) {
            ++value;
            sent.emplace_back(value, app.SendCan(CANBus0, 0x500, false, {static_cast<unsigned char>(value)}));
        }
        std::this_thread::sleep_until(resume);  // the length of the stall, not a synchronisation
        EXPECT_EQ(app.sdk.GetConnectionState(), CoreTypes::ConnectionUp);
        sim.Proc().Kill(SIGCONT);

        // Reception, cyclic rows, sends and requests work again.
        const std::string mark = stallMs == 1000 ? "01" : "03";
        ASSERT_EQ(peer.Run("can-send 1 2AA 0 " + mark), "0");
        EXPECT_FALSE(app.Await("can 1 2AA 0 " + mark, 1).empty());
        const std::size_t cyclicBefore = CyclicSeen(peer);
        EXPECT_TRUE(Eventually([&] { return CyclicSeen(peer) >= cyclicBefore + 10; }));
        ++value;
        ASSERT_EQ(app.SendCan(CANBus0, 0x500, false, {static_cast<unsigned char>(value)}), 0);
        sent.emplace_back(value, 0);
        const unsigned char bytes[2] = {0x5A, static_cast<unsigned char>(stallMs / 1000)};
        EXPECT_EQ(app.sdk.EEPROMWrite(16, bytes, 2), 0);
        unsigned char back[2] = {};
        EXPECT_EQ(app.sdk.EEPROMRead(16, back, 2), 0);
        EXPECT_EQ(back[1], bytes[1]);

        // Every frame whose send returned 0 reached the bus.
        for (const auto& [frame, result] : sent) {
            if (result != 0) continue;
            EXPECT_TRUE(Eventually([&] { return ReadFile(folder / "bus.log").find(Logged(0, 0x500, frame)) !=
                                                std::string::npos; }))
                << Logged(0, 0x500, frame);
        }
    }
    EXPECT_EQ(peer.Quit(), 0);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(Recovery, ARestartedSimulatorGetsTheApplicationBackAsItWas) {
    TempFolder folder;
    auto sim = std::make_unique<Simulator>(folder);
    ASSERT_TRUE(sim->Start());
    LocalApp app(sim->Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    SetUpCan(app);
    ASSERT_GT(app.CreateCa(CANBus2, 0x80, 7), 0);
    const unsigned char saved[4] = {1, 2, 3, 4};
    ASSERT_EQ(app.sdk.EEPROMWrite(0, saved, 4), 0);
    ASSERT_EQ(app.sdk.EEPROMSave(), 0);

    sim->Proc().Kill(SIGKILL);
    EXPECT_EQ(sim->Proc().Wait(), 128 + SIGKILL);
    ASSERT_TRUE(Eventually([&] { return app.sdk.GetConnectionState() == CoreTypes::ConnectionLost; }));
    // Without a connection every request fails at once with its own code.
    unsigned char data[4] = {};
    EXPECT_EQ(app.sdk.EEPROMRead(0, data, 4), -107);
    EXPECT_EQ(app.CreateCa(CANBus2, 0x90, 8), -107);

    // The same endpoint, data folder and control socket.
    sim = std::make_unique<Simulator>(folder);
    ASSERT_TRUE(sim->Start({"--log", folder / "bus.log"}));
    ASSERT_TRUE(Eventually([&] { return app.sdk.GetConnectionState() == CoreTypes::ConnectionUp; }));
    ASSERT_TRUE(sim->AwaitList([](const std::string& list) {
        const std::string mine = SectionOf(list, 100);
        return Contains(mine, "CAN subscription can1") && Contains(mine, "J1939 CA can2 address 80") &&
               Contains(mine, "J1939 subscription can2 all");
    })) << sim->Command("list");

    Peer peer(sim->Endpoint(), 101);
    ASSERT_EQ(peer.Run("can-init 0"), "1 0 0");
    ASSERT_EQ(peer.Run("can-init 1"), "2 0 0");
    // The cyclic row goes out again, reception works, and so do the CA's.
    EXPECT_TRUE(Eventually([&] { return CyclicSeen(peer) >= 5; }));
    ASSERT_EQ(peer.Run("can-send 1 2AB 0 0B"), "0");
    EXPECT_FALSE(app.Await("can 1 2AB 0 0B", 1).empty());
    ASSERT_GT(std::stoi(peer.Run("ca 2 81 9")), 0);
    ASSERT_EQ(peer.Run("j1939-send 2 81 80 EF00 6 C0FFEE"), "0");
    EXPECT_FALSE(app.Await("j1939 2 EF00 81 80 6 C0FFEE", 1).empty());
    // The EEPROM is the platform's, as it was saved.
    EXPECT_EQ(app.sdk.EEPROMRead(0, data, 4), 0);
    EXPECT_EQ(std::vector<unsigned char>(data, data + 4), std::vector<unsigned char>(saved, saved + 4));
    EXPECT_EQ(peer.Quit(), 0);
    app.sdk.Shutdown();
    EXPECT_EQ(sim->Stop(), 0);
}

}  // namespace
}  // namespace integration
