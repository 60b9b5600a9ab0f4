// The bus log: a recorded log replayed into the simulator, and the log the
// simulator writes read back.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "logs/CandumpFormat.h"
#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus3;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Replay, ARecordedLogReachesTheCallbacksInItsOrder) {
    TempFolder folder;
    {
        std::ofstream log(folder / "recorded.log");
        log << "# recorded on the test bench\n"
               "\n"
               "(1700000000.000100) can1 123#11.22.33\n"
               "(1700000000.000200) vcan1 18fef100#0102030405060708\n"
               "(1700000000.000300) can1 7FF#\n"
               "(1700000000.000400) can0 321#AA\n"         // another bus
               "(1700000000.000500) can1 456#R\n"          // remote: not delivered
               "this line is no frame\n"                   // reported, skipped
               "(1700000000.000600) can1 0CF00400#FFFF\r\n"
               "(1700000000.001500) can1 100#0102030405060708\n";
    }
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_TRUE(app.ListenToCan(CANBus1));
    ASSERT_GT(app.CreateCa(CANBus1, 0x80, 0x80), 0);
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) {
        const std::string mine = SectionOf(list, 100);
        return Contains(mine, "CAN subscription can1") && Contains(mine, "J1939 subscription can1 all");
    }));

    sim.Command("replay " + (folder / "recorded.log"));
    // The last frame of the log is the last to arrive.
    const std::vector<std::string> can = app.Await("can 1 100 ", 1);
    ASSERT_EQ(can.size(), 1u);
    EXPECT_EQ(app.Await("can ", 5), (std::vector<std::string>{"can 1 123 0 112233", "can 1 18FEF100 1 0102030405060708",
                                                               "can 1 7FF 0 -", "can 1 CF00400 1 FFFF",
                                                               "can 1 100 0 0102030405060708"}));
    // The 29-bit frames also reached the CA as J1939 messages.
    EXPECT_EQ(app.Await("j1939 ", 2), (std::vector<std::string>{"j1939 1 FEF1 0 FF 6 0102030405060708",
                                                                 "j1939 1 F004 0 FF 3 FFFF"}));
    EXPECT_EQ(app.Received().size(), 7u);
}

TEST(Log, TheSimulatorsLogParsesBackFrameForFrame) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start({"--log", folder / "bus.log", "--j1708-log", folder / "j1708.log"}));
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    Peer watcher(sim.Endpoint(), 101);
    ASSERT_EQ(watcher.Run("can-init 3"), "1 0 0");
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) { return Contains(SectionOf(list, 101), "can3"); }));

    struct Sent {
        std::uint8_t bus;
        std::uint32_t id;
        bool extended;
        bool remote;
        std::vector<unsigned char> data;
    };
    const std::vector<Sent> fromApp = {
        {3, 0x001, false, false, {}},
        {3, 0x7FF, false, false, {0, 1, 2, 3, 4, 5, 6, 0xFF}},
        {3, 0x00000001, true, false, {0x5A}},
        {3, 0x1FFFFFFF, true, false, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}},
    };
    for (const Sent& s : fromApp) {
        ASSERT_EQ(app.SendCan(static_cast<CustomApplication::CoreTypes::CANBus>(s.bus), s.id, s.extended, s.data), 0);
    }
    const auto isCan = [](const std::string& line) { return line.compare(0, 4, "can ") == 0; };
    ASSERT_EQ(watcher.Proc().AwaitLines(isCan, 4).size(), 4u);
    sim.Command("can3 0ab#de.ad");
    sim.Command("can4 7DF#R");
    sim.Command("j1708 80#0102");
    sim.Command("can3 5A5#");  // the last: once the watcher has it, everything is logged
    ASSERT_EQ(watcher.Proc().AwaitLine([](const std::string& l) { return l == "can 3 5A5 0 -"; }), "can 3 5A5 0 -");

    std::vector<Sent> expected = fromApp;
    expected.push_back({3, 0x0AB, false, false, {0xDE, 0xAD}});
    expected.push_back({4, 0x7DF, false, true, {}});
    expected.push_back({3, 0x5A5, false, false, {}});

    std::vector<std::string> lines;
    ASSERT_TRUE(Eventually([&] {
        lines = SplitLines(ReadFile(folder / "bus.log"));
        return lines.size() >= expected.size();
    }));
    ASSERT_EQ(lines.size(), expected.size()) << ReadFile(folder / "bus.log");
    std::int64_t previousUs = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        gatewaysim::LogEntry entry;
        std::string error;
        ASSERT_TRUE(gatewaysim::ParseLogLine(lines[i], &entry, &error)) << error;
        EXPECT_GE(entry.timeUs, previousUs);
        previousUs = entry.timeUs;
        ASSERT_EQ(entry.kind, gatewaysim::LogEntry::Kind::kCan);
        EXPECT_EQ(entry.can.bus, expected[i].bus);
        EXPECT_EQ(entry.can.id, expected[i].id);
        EXPECT_EQ(entry.can.extended, expected[i].extended);
        EXPECT_EQ(entry.can.remote, expected[i].remote);
        EXPECT_EQ(std::vector<unsigned char>(entry.can.data, entry.can.data + entry.can.length), expected[i].data);
        // Written exactly as it would be formatted again.
        EXPECT_EQ(gatewaysim::FormatCanLogLine(entry.timeUs, entry.can), lines[i]);
    }
    // The J1708 frame went to its own log, where CAN tools do not trip on it.
    const std::vector<std::string> j1708 = SplitLines(ReadFile(folder / "j1708.log"));
    ASSERT_EQ(j1708.size(), 1u);
    gatewaysim::LogEntry entry;
    std::string error;
    ASSERT_TRUE(gatewaysim::ParseLogLine(j1708[0], &entry, &error)) << error;
    ASSERT_EQ(entry.kind, gatewaysim::LogEntry::Kind::kJ1708);
    EXPECT_EQ(j1708[0].substr(j1708[0].find(')') + 1), " j1708 80#0102*7D");
    EXPECT_EQ(watcher.Quit(), 0);
}

// Runs gateway-sim-control in `folder` with `arguments` (quoted for the
// shell); its exit code and everything it printed.
int RunClient(const TempFolder& folder, const std::string& arguments, const std::string& environment,
              std::string* output) {
    Process client;
    // The exit code is printed last: once it is read, so is all the rest.
    const std::string line = "cd '" + folder.Path() + "' && " + GATEWAY_SIM_CONTROL_PATH + " " + arguments +
                             " 2>&1; echo \"exit $?\"";
    if (!client.Start({"/bin/sh", "-c", line}, environment.empty() ? std::vector<std::string>{}
                                                                    : std::vector<std::string>{environment}))
        return -1;
    const std::string last =
        client.AwaitLine([](const std::string& printed) { return printed.compare(0, 5, "exit ") == 0; });
    client.Wait();
    output->clear();
    for (const std::string& printed : client.Lines()) *output += printed + "\n";
    return last.empty() ? -1 : std::atoi(last.c_str() + 5);
}

// Cyclic rows due on the same pass reach the platform as the children of
// one message per kind of bus: the simulator puts every one of them on its
// bus, CAN (two interfaces), J1939 and J1708 alike.
TEST(Log, CyclicRowsDueTogetherAllReachTheirBuses) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start({"--log", folder / "bus.log", "--j1708-log", folder / "j1708.log"}));
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    using namespace CustomApplication;
    const unsigned char data[2] = {0xAB, 0xCD};
    CANTypes::CANReceiveTableEntry noReceive{};
    for (const CoreTypes::CANBus bus : {CANBus1, CANBus3}) {
        CANTypes::CANTransmitTableEntry rows[2] = {{data, 2, 0x101, CANTypes::Standard, 100},
                                                   {data, 2, 0x102, CANTypes::Standard, 100}};
        ASSERT_GT(app.sdk.CANInit(bus, &noReceive, 0, rows, 2), 0);
    }
    J1939Types::J1939Name name{};
    name.IdentityNumber = 0x20;
    J1939Types::J1939ReceiveTableEntry noJ1939Receive{};
    J1939Types::J1939TransmitTableEntry j1939Rows[2] = {{data, 2, 0xFEF1, 100, 6, 0xFF}, {data, 2, 0xFEF2, 100, 6, 0xFF}};
    ASSERT_GT(app.sdk.J1939CreateCA(CoreTypes::CANBus(2), 0x20, &name, &noJ1939Receive, 0, j1939Rows, 2), 0);
    J1708Types::J1708ReceiveTableEntry noJ1708Receive{};
    J1708Types::J1708TransmitTableEntry j1708Rows[2] = {{data, 2, 0x80, 100, 8}, {data, 2, 0x81, 100, 8}};
    ASSERT_EQ(app.sdk.J1708Init(&noJ1708Receive, 0, j1708Rows, 2), 0);

    // Three frames of every row, whichever pass they came from.
    const std::vector<std::string> rows = {" can1 101#ABCD", " can1 102#ABCD",     " can3 101#ABCD",
                                           " can3 102#ABCD", " can2 18FEF120#ABCD", " can2 18FEF220#ABCD",
                                           " j1708 80#ABCD", " j1708 81#ABCD"};
    const auto framesOf = [&](const std::string& row) {
        const std::string log = ReadFile(folder / (row.compare(0, 7, " j1708 ") == 0 ? "j1708.log" : "bus.log"));
        std::size_t count = 0;
        for (const std::string& line : SplitLines(log)) count += line.find(row) != std::string::npos;
        return count;
    };
    EXPECT_TRUE(Eventually([&] {
        return std::all_of(rows.begin(), rows.end(), [&](const std::string& row) { return framesOf(row) >= 3; });
    })) << ReadFile(folder / "bus.log") << ReadFile(folder / "j1708.log");
}

TEST(Control, TheClientGetsTheAnswersWithItsOwnPathsAndTellsFailuresByItsExitCode) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    const std::string socket = folder / "control";
    {
        std::ofstream(folder / "bad.log") << "not a log line\n(1.0) can9 123#00\n";
        std::ofstream(folder / "good.log") << "(1.000000) can0 123#00\n";
    }
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    std::string out;

    // A replay that refused every line: its reasons and its outcome, exit 1.
    EXPECT_EQ(RunClient(folder, "'" + socket + "' 'replay bad.log fast'", "", &out), 1) << out;
    EXPECT_NE(out.find(folder / "bad.log:1: "), std::string::npos) << out;
    EXPECT_NE(out.find("replay of " + (folder / "bad.log") + ": 0 frames, 2 lines refused"), std::string::npos) << out;
    // The socket from the environment; the relative file is the client's.
    EXPECT_EQ(RunClient(folder, "'replay good.log fast' replay", "GATEWAY_SIM_CONTROL=" + socket, &out), 0) << out;
    EXPECT_NE(out.find("replay of " + (folder / "good.log") + ": 1 frames"), std::string::npos) << out;
    EXPECT_NE(out.find("file " + (folder / "good.log")), std::string::npos) << out;
    // A FIFO is refused at once, and the socket keeps answering.
    EXPECT_EQ(RunClient(folder, "'" + socket + "' 'replay fifo'", "", &out), 1) << out;
    EXPECT_NE(out.find("fifo: not a regular file"), std::string::npos) << out;
    sim.Command("list");

    EXPECT_EQ(RunClient(folder, "-x '" + socket + "' list", "", &out), 2);
    EXPECT_NE(out.find("unknown option '-x'"), std::string::npos) << out;
    EXPECT_EQ(RunClient(folder, "--timeout 1s '" + socket + "' list", "", &out), 2);
    EXPECT_NE(out.find("--timeout takes milliseconds, 1 to 600000, not '1s'"), std::string::npos) << out;
    EXPECT_EQ(RunClient(folder, "", "GATEWAY_SIM_CONTROL=", &out), 2);
    // A command with no socket before it is told as a missing socket.
    EXPECT_EQ(RunClient(folder, "list", "GATEWAY_SIM_CONTROL=", &out), 2) << out;
    EXPECT_NE(out.find("no control socket given: 'list' is a command"), std::string::npos) << out;
    // A word ending in a digit is no bus.
    EXPECT_EQ(RunClient(folder, "'" + socket + "' 'eth0 123#AA'", "", &out), 1) << out;
    EXPECT_NE(out.find("unknown command 'eth0'"), std::string::npos) << out;
    EXPECT_EQ(RunClient(folder, "-t 100 '" + (folder / "nothing") + "' list", "", &out), 3);
}

}  // namespace
}  // namespace integration
