#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <cstdio>
#include <cstdlib>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "bus/CanBus.h"
#include "logs/CandumpFormat.h"
#include "logs/LogWriter.h"
#include "SimFixture.h"

namespace {

using namespace simtest;
using namespace gatewaysim;

Bytes CanSubscription(std::uint8_t bus) {
    Bytes b(12, 0);
    b[0] = bus;
    return b;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

class ReplayAndLogTest : public SimTest {};

TEST_F(ReplayAndLogTest, AReplayedLogReachesApplicationsInOrderAndTheLogParsesBack) {
    options_.logPath = dir_ + "/bus.log";
    options_.j1708LogPath = dir_ + "/j1708.log";
    StartSim();
    RawApp& app = Connect(100);
    for (std::uint8_t bus = 0; bus < 3; ++bus) app.Send(kCategoryCan, can::kCmdSubscribe, CanSubscription(bus));
    app.Send(kCategoryJ1708, j1708::kCmdSubscribe, {});
    app.Sync();

    const std::string replay = dir_ + "/in.log";
    WriteText(replay,
              "# recorded on the bench\n"
              "(1700000000.000000) can0 123#11\n"
              "(1700000000.000100) can1 18fef100#01.02.03\n"
              "\n"
              "(1700000000.000200) vcan2 7FF#R\n"
              "(1700000000.000300) can0 not-a-frame\n"
              "(1700000000.000400) j1708 80#0102 R\n"
              "(1700000000.000500) can2 0CF00400#FFFFFFFFFFFFFFFF\r\n"
              "(1700000000.000600) can0 456#\n");
    ASSERT_TRUE(Run("replay " + replay + " fast").ok);
    ASSERT_TRUE(AwaitReport("replay of " + replay + ": 6 frames, 1 lines refused"));
    EXPECT_TRUE(AwaitReport(replay + ":6: "));
    app.Sync();

    // The remote frame has no way to an application; the others arrive in order.
    std::vector<std::uint32_t> ids;
    for (const Received& r : app.Of(kCategoryCan, can::kCmdReceived)) ids.push_back(Get32(r.payload, 0));
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{0x123, 0x18FEF100, 0x0CF00400, 0x456}));
    EXPECT_EQ(app.Of(kCategoryJ1708, j1708::kCmdReceived).size(), 1u);

    // Every frame is in the log, the remote one included; the J1708 one in
    // the J1708 log.
    std::vector<std::string> frames;
    std::vector<std::string> lines = Lines(options_.logPath);
    for (const std::string& line : Lines(options_.j1708LogPath)) lines.push_back(line);
    for (const std::string& line : lines) {
        LogEntry e;
        std::string error;
        ASSERT_TRUE(ParseLogLine(line, &e, &error)) << line << ": " << error;
        if (e.kind == LogEntry::Kind::kCan) {
            frames.push_back("can" + std::to_string(e.can.bus) + " " + FormatCanFrame(e.can));
        } else if (e.kind == LogEntry::Kind::kJ1708) {
            frames.push_back("j1708 " + FormatJ1708Frame(e.j1708));
        }
    }
    EXPECT_EQ(frames, (std::vector<std::string>{"can0 123#11", "can1 18FEF100#010203", "can2 7FF#R",
                                                "can2 0CF00400#FFFFFFFFFFFFFFFF", "can0 456#",
                                                "j1708 80#0102*7D"}));
}

std::vector<std::uint32_t> ReceivedIds(RawApp& app) {
    app.Sync();
    std::vector<std::uint32_t> ids;
    for (const Received& r : app.Of(kCategoryCan, can::kCmdReceived)) ids.push_back(Get32(r.payload, 0));
    return ids;
}

TEST_F(ReplayAndLogTest, LoopsMapsInterfacesAndTellsItsStatus) {
    StartSim();
    RawApp& app = Connect(100);
    app.Send(kCategoryCan, can::kCmdSubscribe, CanSubscription(2));
    app.Sync();
    const std::string path = dir_ + "/vcan.log";
    WriteText(path,
              "(5.000000) vcan7 001#01\n"
              "(5.000100) can2 002#02\n"  // not mapped: skipped
              "(5.000200) vcan7 003#03\n"
              "(5.000300) vcan7 zzz\n");
    const auto monotonicUs = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    const std::int64_t askedUs = monotonicUs();
    ASSERT_TRUE(Run("replay " + path + " fast loop=2 vcan7=can2").ok);
    ASSERT_TRUE(AwaitReport("replay of " + path + ": 4 frames, 2 lines refused, 2 passes"));
    EXPECT_EQ(app.AwaitCount(kCategoryCan, can::kCmdReceived, 4).size(), 4u);
    EXPECT_EQ(ReceivedIds(app), (std::vector<std::uint32_t>{1, 3, 1, 3}));
    const CommandReply status = Run("replay");
    ASSERT_TRUE(status.ok);
    EXPECT_NE(status.text.find("file " + path + "\n"), std::string::npos) << status.text;
    EXPECT_NE(status.text.find("4 frames sent, 2 lines refused, at 0.000 s of the log, pass 2 of 2, ended"),
              std::string::npos)
        << status.text;
    // The start on the monotonic clock, for those who time what a replay caused.
    const std::size_t started = status.text.find("started at ");
    ASSERT_NE(started, std::string::npos) << status.text;
    const double startUs = std::strtod(status.text.c_str() + started + 11, nullptr) * 1e6;
    EXPECT_GE(startUs, static_cast<double>(askedUs) - 1);
    EXPECT_LE(startUs, static_cast<double>(monotonicUs()));

    // Until stopped: the position moves on within each pass.
    ASSERT_TRUE(Run("replay " + path + " loop vcan7=can2").ok);
    ASSERT_GE(app.AwaitCount(kCategoryCan, can::kCmdReceived, 10).size(), 10u);
    EXPECT_NE(Run("replay").text.find("(until stopped)"), std::string::npos);
    ASSERT_TRUE(Run("replay stop").ok);
    EXPECT_NE(Run("replay").text.find(", ended"), std::string::npos);
}

TEST_F(ReplayAndLogTest, OddLogsAreReportedAndOnlyRegularFilesAreOpened) {
    StartSim();
    RawApp& app = Connect(100);
    app.Send(kCategoryCan, can::kCmdSubscribe, CanSubscription(0));
    app.Sync();
    // A NUL byte refuses its line only; a gap of 20 s is reported and, asked
    // so, not waited for; time going back is reported once, its frames sent.
    const std::string path = dir_ + "/odd.log";
    WriteText(path, std::string("(0.000000) can0 001#01\n(0.000100) can0 0\0""02#02\n(0.000200) can0 003#03\n"
                                "(20.000200) can0 004#04\n(19.000000) can0 005#05\n(18.000000) can0 006#06\n",
                                142));
    ASSERT_TRUE(Run("replay " + path + " skip-gaps").ok);
    ASSERT_TRUE(AwaitReport("replay of " + path + ": 5 frames, 1 lines refused"));
    EXPECT_EQ(ReceivedIds(app), (std::vector<std::uint32_t>{1, 3, 4, 5, 6}));
    EXPECT_EQ(CountReports(path + ":2: a NUL byte in the line"), 1u);
    EXPECT_EQ(CountReports(path + ":4: a gap of 20.000 s in the log's time, skipped"), 1u);
    EXPECT_EQ(CountReports(path + ":5: the time goes back by 1.000 s"), 1u);
    EXPECT_EQ(CountReports("the time goes back"), 1u);

    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& odd : {fifo, std::string("/dev/zero"), dir_}) {
        const CommandReply refused = Run("replay " + odd);
        EXPECT_FALSE(refused.ok) << odd;
        EXPECT_EQ(refused.text, odd + ": not a regular file");
    }
}

TEST_F(ReplayAndLogTest, ALogIsNeverEmptiedUnasked) {
    options_.logPath = dir_ + "/bus.log";
    WriteText(options_.logPath, "(1.000000) can0 001#01\n");
    sim_ = std::make_unique<Simulator>(options_);
    std::string error;
    EXPECT_EQ(sim_->Start(&error), -EEXIST);
    EXPECT_NE(error.find("exists and is not empty (--log-append "), std::string::npos) << error;
    EXPECT_EQ(Lines(options_.logPath).size(), 1u);

    options_.logAppend = true;
    StartSim();
    ASSERT_TRUE(Run("can0 002#02").ok);
    sim_->Stop();
    EXPECT_EQ(Lines(options_.logPath).size(), 2u);
}

TEST_F(ReplayAndLogTest, ALineThatCannotBeWrittenWholeIsTakenBack) {
    const std::string path = dir_ + "/full.log";
    LogWriter log;
    ASSERT_EQ(log.Open(path), 0);
    CanFrame frame;
    frame.length = 1;
    log.Write(1000000, frame);
    const std::vector<std::string> before = Lines(path);
    ASSERT_EQ(before.size(), 1u);
    // The file may grow by 10 bytes only: the next line is torn by the disk.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = before[0].size() + 1 + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    log.Write(2000000, frame);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(log.Failures(), 1u);
    log.Write(3000000, frame);
    log.Close();
    const std::vector<std::string> lines = Lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], before[0]);
    EXPECT_EQ(lines[1], "(3.000000) can0 000#00");
}

TEST_F(ReplayAndLogTest, ApplicationFramesAreLoggedAsTheToolsWriteThem) {
    options_.logPath = dir_ + "/bus.log";
    StartSim();
    RawApp& app = Connect(100);
    Bytes record(16, 0);
    Put32(record, 0, 0x1AB);
    record[5] = 4;
    record[7] = 2;
    record[8] = 0xC0;
    record[9] = 0xDE;
    app.Send(kCategoryCan, can::kCmdSend, record);
    record[4] = 1;
    app.Send(kCategoryCan, can::kCmdSend, record);
    app.Sync();
    const auto lines = Lines(options_.logPath);
    ASSERT_EQ(lines.size(), 2u);
    // "(seconds.microseconds) canN ID#DATA": 3 or 8 upper-case digits.
    EXPECT_EQ(lines[0].substr(lines[0].find(')')), ") can4 1AB#C0DE");
    EXPECT_EQ(lines[1].substr(lines[1].find(')')), ") can4 000001AB#C0DE");
    EXPECT_EQ(lines[0][0], '(');
    EXPECT_EQ(lines[0].find(')') - lines[0].find('.'), 7u);  // six decimals
}

TEST_F(ReplayAndLogTest, ReplayKeepsTheLogsTimingAndCanBeStopped) {
    StartSim();
    RawApp& app = Connect(100);
    app.Send(kCategoryCan, can::kCmdSubscribe, CanSubscription(0));
    app.Sync();
    const std::string timed = dir_ + "/timed.log";
    WriteText(timed,
              "(100.000000) can0 001#01\n"
              "(100.060000) can0 002#02\n"
              "(100.120000) can0 003#03\n");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Run("replay " + timed).ok);
    ASSERT_EQ(app.AwaitCount(kCategoryCan, can::kCmdReceived, 3).size(), 3u);
    // At least the log's span has passed (a lower bound only).
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(110));
    ASSERT_TRUE(AwaitReport("replay of " + timed + ": 3 frames"));

    // A frame due far in the future: the replay waits for it until stopped.
    const std::string slow = dir_ + "/slow.log";
    WriteText(slow, "(0.000000) can0 004#04\n(9999.000000) can0 005#05\n");
    ASSERT_TRUE(Run("replay " + slow).ok);
    ASSERT_EQ(app.AwaitCount(kCategoryCan, can::kCmdReceived, 4).size(), 4u);
    const CommandReply busy = Run("replay " + timed);
    EXPECT_FALSE(busy.ok);
    EXPECT_NE(busy.text.find("a replay is running"), std::string::npos);
    ASSERT_TRUE(Run("replay stop").ok);
    ASSERT_TRUE(AwaitReport("replay of " + slow + ": 1 frames"));
    EXPECT_FALSE(Run("replay " + dir_ + "/missing.log").ok);
}

// A fast replay onto a bus with a bit rate waits for room in its transmit
// queue: more frames than a queue holds all go, in order, each when the one
// before it has left the wire.
TEST_F(ReplayAndLogTest, AFastReplayIsPacedByTheWire) {
    options_.bitrates[0] = 1000000;
    TapBuses();
    StartSim();
    constexpr int kFrames = 1500;  // beyond the bound of a queue that cannot wait
    std::string text;
    for (int i = 0; i < kFrames; ++i) {
        char line[64];
        std::snprintf(line, sizeof(line), "(1.000000) can0 123#%02X%02X\n", i >> 8, i & 0xFF);
        text += line;
    }
    const std::string path = dir_ + "/burst.log";
    WriteText(path, text);
    ASSERT_TRUE(Run("replay " + path + " fast").ok);
    const std::vector<Carried> carried = AwaitCarried(kFrames);
    ASSERT_EQ(carried.size(), static_cast<std::size_t>(kFrames));
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(carried[i].frame.data[0] << 8 | carried[i].frame.data[1], i) << i;
        if (i > 0) {
            // 1 µs a bit: stamped with their ends on the wire.
            EXPECT_GE(carried[i].wallUs - carried[i - 1].wallUs, CanWireBits(carried[i].frame)) << i;
        }
    }
    // Its queue never went deeper than a queue holds (the frame on the wire
    // counts against it too).
    ExpectDrainedWithinDepth(Run("timing").text, "replay", kFrames);
}

TEST_F(ReplayAndLogTest, DriftingCyclicFramesAreReported) {
    options_.bitrates[1] = 250000;
    TapBuses();
    StartSim();
    // Two identifiers 100 ms apart, then both one frame 50 ms late.
    const int times[] = {0, 100, 200, 300, 400, 550, 650};
    std::string text;
    for (const int t : times) {
        char line[96];
        std::snprintf(line, sizeof(line), "(%d.%06d) can1 18FEF100#01\n(%d.%06d) can1 100#01\n", 10 + t / 1000,
                      (t % 1000) * 1000, 10 + t / 1000, (t % 1000) * 1000 + 10);
        text += line;
    }
    const std::string path = dir_ + "/cyclic.log";
    WriteText(path, text);
    ASSERT_TRUE(Run("replay " + path + " fast").ok);
    ASSERT_TRUE(AwaitReport("replay of " + path));
    // The frames took their time on the wire; the log's times are checked.
    ASSERT_EQ(AwaitCarried(14).size(), 14u);
    // Another sender of the identifier is a row of its own, not a drift.
    ASSERT_TRUE(Run("can1 18FEF100#02").ok);
    ASSERT_EQ(AwaitCarried(15).size(), 15u);
    const std::string listing = Run("timing").text;
    EXPECT_EQ(CountReports("timing: can1 18FEF100 from the replay interval 150.0 ms, period 100.0 ms (+50.0%)"), 1u);
    EXPECT_EQ(CountReports("timing: can1 100 "), 1u);  // the same late frame of the other identifier
    EXPECT_EQ(CountReports("timing: "), 2u);
    EXPECT_NE(listing.find("can1 18FEF100 from the replay period 100.0 ms, 7 frames, 1 drifts"), std::string::npos)
        << listing;
    EXPECT_NE(listing.find("can1 18FEF100 from the operator not cyclic, 1 frames"), std::string::npos) << listing;
    // 90 + 65 bits every 100 ms of a 250 kbit/s bus.
    EXPECT_NE(listing.find("can1 250 kbit/s: load "), std::string::npos) << listing;
    EXPECT_NE(listing.find("cyclic frames ask for 0.6%\n"), std::string::npos) << listing;
}

TEST_F(ReplayAndLogTest, CyclicFramesAskingForMoreThanTheBusAreReported) {
    options_.bitrates[2] = 250000;
    options_.bitrates[3] = 1000000;
    TapBuses();
    StartSim();
    // An 8-byte extended frame (160 bits) every 0.5 ms: 320 kbit/s, on a
    // 250 kbit/s and on a 1 Mbit/s bus.
    std::string text;
    for (int i = 0; i < 8; ++i) {
        char line[96];
        std::snprintf(line, sizeof(line), "(1.%06d) can2 18FEF100#0102030405060708\n(1.%06d) can3 18FEF100#0102030405060708\n",
                      i * 500, i * 500);
        text += line;
    }
    const std::string path = dir_ + "/busy.log";
    WriteText(path, text);
    ASSERT_TRUE(Run("replay " + path + " fast").ok);
    ASSERT_TRUE(AwaitReport("replay of " + path));
    ASSERT_EQ(AwaitCarried(16).size(), 16u);
    const std::string listing = Run("timing").text;
    EXPECT_NE(listing.find("can2 250 kbit/s: load "), std::string::npos) << listing;
    EXPECT_NE(listing.find("cyclic frames ask for 128.0%, more than the bus can carry\n"), std::string::npos)
        << listing;
    EXPECT_NE(listing.find("cyclic frames ask for 32.0%\n"), std::string::npos) << listing;
    EXPECT_EQ(CountReports("load: can2: the cyclic frames ask for 128.0% of 250 kbit/s"), 1u);
    EXPECT_EQ(CountReports("load: can3"), 0u);
}

}  // namespace
