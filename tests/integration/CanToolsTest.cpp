// The bus log against the CAN tools that users already have: python-can's
// log readers and writers and can-utils' converters, run as they are
// installed. A test is skipped when its tools are missing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus2;

const std::string kPython = CANTOOLS_PYTHON;
const std::string kLogScript = CANTOOLS_DIR "/pycan_logs.py";
const std::string kSocketcandScript = CANTOOLS_DIR "/pycan_socketcand.py";
const std::string kLog2Asc = CANTOOLS_LOG2ASC;
const std::string kAsc2Log = CANTOOLS_ASC2LOG;
const std::string kLog2Long = CANTOOLS_LOG2LONG;

bool HavePythonCan() {
    if (kPython.empty()) return false;
    Process probe;
    return probe.Start({kPython, "-c", "import can"}, {}) && probe.Wait() == 0;
}

// Runs a tool to its end; the lines it printed, once `lines` are in.
std::vector<std::string> RunTool(const std::vector<std::string>& argv, std::size_t lines, int* exitCode) {
    Process tool;
    if (!tool.Start(argv, {})) {
        *exitCode = -1;
        return {};
    }
    tool.CloseInput();
    *exitCode = tool.Wait();
    return tool.AwaitLines([](const std::string&) { return true; }, lines);
}

std::size_t CountLines(const std::string& path) {
    std::ifstream in(path);
    std::size_t n = 0;
    std::string line;
    while (std::getline(in, line)) ++n;
    return n;
}

TEST(CanTools, ReadTheBusLogFrameForFrame) {
    if (!HavePythonCan() || kLog2Asc.empty() || kAsc2Log.empty() || kLog2Long.empty())
        GTEST_SKIP() << "python3-can or can-utils is not installed";
    TempFolder folder;
    Simulator sim(folder);
    const std::string log = folder / "bus.log";
    ASSERT_TRUE(sim.Start({"--log", log, "--j1708-log", folder / "j1708.log"}));
    sim.Command("can3 0ab#de.ad");
    sim.Command("j1708 80#0102");  // in its own log: no CAN tool trips on it
    sim.Command("can4 7DF#R");
    sim.Command("can0 18FEF100#0102030405060708");
    sim.Command("can2 1FFFFFFF#FF");
    sim.Command("can1 5A5#");
    // Each bus keeps its own wire time, so frames on different buses are
    // logged in the order they left their wires: the log is compared as a
    // set, and each conversion must keep the log's own order.
    std::vector<std::string> expected = {"can3 AB 0 DEAD", "can4 7DF 0 R", "can0 18FEF100 1 0102030405060708",
                                         "can2 1FFFFFFF 1 FF", "can1 5A5 0 -"};
    ASSERT_TRUE(Eventually([&] { return CountLines(log) == expected.size(); }));

    int code = 0;
    const std::vector<std::string> read = RunTool({kPython, kLogScript, "read", log}, expected.size(), &code);
    std::vector<std::string> sorted = read;
    std::sort(sorted.begin(), sorted.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted, expected);
    expected = read;
    EXPECT_EQ(code, 0);
    EXPECT_EQ(RunTool({"/bin/sh", "-c", "exec \"$0\" <\"$1\"", kLog2Long, log}, expected.size(), &code).size(), expected.size());
    EXPECT_EQ(code, 0);
    // To Vector's ASC and back, each step read by python-can.
    const std::string asc = folder / "bus.asc";
    RunTool({kLog2Asc, "-I", log, "-O", asc, "can0", "can1", "can2", "can3", "can4"}, 0, &code);
    ASSERT_EQ(code, 0);
    EXPECT_EQ(RunTool({kPython, kLogScript, "read", asc}, expected.size(), &code), expected);
    const std::string back = folder / "back.log";
    RunTool({kAsc2Log, "-I", asc, "-O", back}, 0, &code);
    ASSERT_EQ(code, 0);
    EXPECT_EQ(RunTool({kPython, kLogScript, "read", back}, expected.size(), &code), expected);
}

TEST(CanTools, LogsTheToolsWriteReplay) {
    if (!HavePythonCan() || kAsc2Log.empty()) GTEST_SKIP() << "python3-can or can-utils is not installed";
    TempFolder folder;
    int code = 0;
    // python-can's text log (the candump format with a direction mark) and
    // its ASC file, turned into candump's format by asc2log.
    RunTool({kPython, kLogScript, "write", folder / "pycan.log", folder / "pycan.asc"}, 0, &code);
    ASSERT_EQ(code, 0);
    RunTool({kAsc2Log, "-I", folder / "pycan.asc", "-O", folder / "asc2log.log"}, 0, &code);
    ASSERT_EQ(code, 0);

    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    ASSERT_TRUE(app.ListenToCan(CANBus1));
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) { return Contains(list, "CAN subscription can1"); }));
    // The remote frame is replayed but not delivered.
    const std::vector<std::string> frames = {"can 1 123 0 1122", "can 1 18FEF100 1 0001020304050607",
                                             "can 1 5A5 0 -"};
    std::vector<std::string> expected;
    for (const char* file : {"pycan.log", "asc2log.log"}) {
        SCOPED_TRACE(file);
        sim.Command("replay " + (folder / file) + " fast");
        expected.insert(expected.end(), frames.begin(), frames.end());
        EXPECT_EQ(app.Await("can ", expected.size()), expected);
        sim.Command("replay stop");  // its frames are in; the next replay may start
    }
}

// A TCP port on the loopback address that is free now.
std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        address.sin_port = 0;
    ::close(fd);
    return ntohs(address.sin_port);
}

TEST(CanTools, PythonCanDrivesAndWatchesABusOverSocketcand) {
    if (!HavePythonCan()) GTEST_SKIP() << "python3-can is not installed";
    TempFolder folder;
    Simulator sim(folder);
    const std::uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(sim.Start({"--socketcand", std::to_string(port)}));  // the loopback address by default
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    static const unsigned char kCycle[4] = {0xC0, 0xFF, 0xEE, 0x00};
    ASSERT_GT(app.InitCanRows(CANBus2, {{0x123, false}, {0x18FEF100, true}},
                              {{kCycle, 4, 0x456, CustomApplication::CANTypes::Standard, 50}}),
              0);
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) { return Contains(list, "CAN subscription can2"); }));

    Process tool;
    ASSERT_TRUE(tool.Start({kPython, kSocketcandScript, std::to_string(port), "can2", "123#0102",
                            "18FEF100#AABBCCDD", "321:1", "456:3"},
                           {}));
    // What the tool sent reached the application's rows...
    EXPECT_EQ(app.Await("can ", 2), (std::vector<std::string>{"can 2 123 0 0102", "can 2 18FEF100 1 AABBCCDD"}));
    // ...and what the application sends, once or cyclically, reaches the tool.
    ASSERT_EQ(app.SendCan(CANBus2, 0x321, false, {0xAB}), 0);
    const std::string done = tool.AwaitLine([](const std::string& line) { return line == "timestamps ok"; });
    EXPECT_EQ(done, "timestamps ok");
    EXPECT_EQ(tool.Wait(), 0);
    const std::vector<std::string> lines = tool.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "321 AB"), 1);
    EXPECT_GE(std::count(lines.begin(), lines.end(), "456 C0FFEE00"), 3);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("123") == 0; }), 0);
}


// A socketcand client in raw mode on one bus, speaking the protocol itself.
class RawSocketcand {
public:
    RawSocketcand(std::uint16_t port, int bus) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return;
        ready_ = Expect("< hi >") && Send("< open can" + std::to_string(bus) + " >") && Expect("< ok >") &&
                 Send("< rawmode >") && Expect("< ok >");
    }
    ~RawSocketcand() { ::close(fd_); }
    bool Ready() const { return ready_; }

    // Writes all of `text`, waiting (bounded) while the simulator does not take it.
    bool Send(const std::string& text) {
        std::size_t sent = 0;
        while (sent < text.size()) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, kBoundMs) <= 0) return false;
            const ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // The next element, "< ... >"; empty after kBoundMs without one.
    std::string Next() {
        for (;;) {
            const std::size_t open = buffer_.find('<');
            const std::size_t close = buffer_.find('>', open == std::string::npos ? 0 : open);
            if (open != std::string::npos && close != std::string::npos) {
                std::string element = buffer_.substr(open, close - open + 1);
                buffer_.erase(0, close + 1);
                return element;
            }
            pollfd p{fd_, POLLIN, 0};
            char chunk[16384];
            if (::poll(&p, 1, kBoundMs) <= 0) return {};
            const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    bool Expect(const std::string& element) { return Next() == element; }
    int fd_ = -1;
    bool ready_ = false;
    std::string buffer_;
};

struct Burst {
    std::vector<unsigned> sequence;    // data bytes 0-1 of each frame received, in order
    std::int64_t firstStampUs = 0;     // the bus times of the first and last frame
    std::int64_t lastStampUs = 0;
    double seconds = 0;                // wall time from the first send to the last frame read
};

// Pushes `count` 8-byte extended frames into can1 through one socketcand
// client while another reads them; without a reader, until `log` has them
// all.
Burst PushBurst(std::uint16_t port, int count, const std::string& log = "") {
    Burst burst;
    std::unique_ptr<RawSocketcand> reader;
    if (log.empty()) reader = std::make_unique<RawSocketcand>(port, 1);
    RawSocketcand writer(port, 1);
    EXPECT_TRUE((!reader || reader->Ready()) && writer.Ready());
    if ((reader && !reader->Ready()) || !writer.Ready()) return burst;
    const auto logged = [&] {
        std::ifstream in(log);
        return static_cast<int>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
    };
    std::thread reading([&] {
        if (!reader) {
            EXPECT_TRUE(Eventually([&] { return logged() >= count; }));
            return;
        }
        while (burst.sequence.size() < static_cast<std::size_t>(count)) {
            const std::string element = reader->Next();
            if (element.empty()) break;
            unsigned id = 0, seconds = 0, micros = 0, first = 0, second = 0;
            if (std::sscanf(element.c_str(), "< frame %x %u.%u %2x%2x", &id, &seconds, &micros, &first, &second) != 5)
                continue;
            const std::int64_t stamp = std::int64_t{seconds} * 1'000'000 + micros;
            if (burst.sequence.empty()) burst.firstStampUs = stamp;
            burst.lastStampUs = stamp;
            burst.sequence.push_back(first << 8 | second);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    for (int i = 0; i < count; ++i) {
        char element[64];
        std::snprintf(element, sizeof(element), "< send 18FEF100 8 %02X %02X 22 33 44 55 66 77 >", (i >> 8) & 0xFF,
                      i & 0xFF);
        text += element;
    }
    EXPECT_TRUE(writer.Send(text));
    reading.join();
    burst.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return burst;
}

// A burst through socketcand onto a 250 kbit/s bus takes its time on the
// wire (8-byte extended frames: at least 131 bits, 524 µs, each), arrives
// in order, none lost; without a bit rate the same burst goes at once.
TEST(CanTools, ASocketcandBurstTakesItsWireTime) {
    constexpr int kFrames = 4000;
    const std::int64_t kMinimumSpanUs = std::int64_t{kFrames - 1} * 131 * 4;  // 2.09 s from first to last
    {
        TempFolder folder;
        Simulator sim(folder);
        const std::uint16_t port = FreePort();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(sim.Start({"--socketcand", std::to_string(port), "--bitrate", "1:250"}));
        const Burst burst = PushBurst(port, kFrames);
        ASSERT_EQ(burst.sequence.size(), static_cast<std::size_t>(kFrames));
        for (int i = 0; i < kFrames; ++i) ASSERT_EQ(burst.sequence[i], static_cast<unsigned>(i & 0xFFFF)) << i;
        EXPECT_GE(burst.lastStampUs - burst.firstStampUs, kMinimumSpanUs);
        EXPECT_GE(burst.seconds, kMinimumSpanUs / 1e6);
        // The client's queue held it back: it never went deeper than a queue
        // holds (64 frames, the one on the wire included).
        const std::string timing = sim.Command("timing");
        const std::size_t at = timing.find("socketcand client 1: ");
        ASSERT_NE(at, std::string::npos) << timing;
        unsigned queued = 1, deepest = 0, sent = 0, dropped = 1;
        ASSERT_EQ(std::sscanf(timing.c_str() + at, "socketcand client 1: %u queued (at most %u), %u sent, %u dropped",
                              &queued, &deepest, &sent, &dropped),
                  4)
            << timing;
        EXPECT_EQ(queued, 0u);
        EXPECT_LE(deepest, 64u);
        EXPECT_EQ(sent, static_cast<unsigned>(kFrames));
        EXPECT_EQ(dropped, 0u);
    }
    TempFolder folder;
    Simulator sim(folder);
    const std::uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    // A reader would not keep up: its queue fills and it is dropped, as the
    // bus never waits for it. The log shows the frames.
    ASSERT_TRUE(sim.Start({"--socketcand", std::to_string(port), "--bitrate", "unlimited", "--log", folder / "bus.log"}));
    const Burst burst = PushBurst(port, kFrames, folder / "bus.log");
    EXPECT_LT(burst.seconds, kMinimumSpanUs / 1e6);
}

TEST(CanTools, SocketcandBeyondLoopbackIsWarnedAbout) {
    TempFolder folder;
    const std::uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    Process sim;  // its standard error on its standard output, which the test reads
    ASSERT_TRUE(sim.Start({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", GATEWAY_SIM_PATH, "--endpoint",
                           folder / "endpoint", "--data", folder / "data", "--no-prompt", "--quiet",
                           "--socketcand", "0.0.0.0:" + std::to_string(port)},
                          {}));
    const std::string warning =
        sim.AwaitLine([](const std::string& line) { return line.find("warning") != std::string::npos; });
    EXPECT_NE(warning.find("anyone on the network can read and drive the buses"), std::string::npos) << warning;
    sim.Kill(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
}

}  // namespace
}  // namespace integration
