#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "logs/CandumpFormat.h"
#include "control/CommandParser.h"
#include "Options.h"

namespace {

using namespace gatewaysim;

CanFrame Parsed(const std::string& text) {
    CanFrame frame;
    std::string error;
    EXPECT_TRUE(ParseCanFrameText(text, &frame, &error)) << text << ": " << error;
    return frame;
}

TEST(CanFrameTextTest, AcceptsWhatTheToolsWrite) {
    CanFrame f = Parsed("123#DEADBEEF");
    EXPECT_FALSE(f.extended);
    EXPECT_EQ(f.id, 0x123u);
    EXPECT_EQ(f.length, 4);
    EXPECT_EQ(f.data[0], 0xDE);
    EXPECT_EQ(f.data[3], 0xEF);

    f = Parsed("18fef100#de.ad.be.ef.01");  // either case, '.' between bytes
    EXPECT_TRUE(f.extended);
    EXPECT_EQ(f.id, 0x18FEF100u);
    EXPECT_EQ(f.length, 5);
    EXPECT_EQ(f.data[4], 0x01);

    f = Parsed("00000123#");  // extended because of its 8 digits; no data
    EXPECT_TRUE(f.extended);
    EXPECT_EQ(f.length, 0);

    f = Parsed("7FF#R");
    EXPECT_TRUE(f.remote);
    EXPECT_EQ(f.length, 0);
    f = Parsed("1FFFFFFF#r8");
    EXPECT_TRUE(f.remote);
    EXPECT_TRUE(f.extended);
    EXPECT_EQ(f.length, 8);

    f = Parsed("123#1122334455667788_E");  // raw length code of a classic 8-byte frame
    EXPECT_EQ(f.length, 8);
    EXPECT_EQ(f.data[7], 0x88);
}

TEST(CanFrameTextTest, RefusesJunkWithAReason) {
    for (const char* junk : {"", "123", "12#00", "1234#00", "800#00", "20000000#00", "123#1", "123#1.2",
                             "123#112233445566778899", "123##100", "123#R9", "123#RR", "xyz#00", "123#GG",
                             "123#11_9", "123#1122334455667788_5", "#00", "123 #00"}) {
        CanFrame frame;
        std::string error;
        EXPECT_FALSE(ParseCanFrameText(junk, &frame, &error)) << junk;
        EXPECT_FALSE(error.empty()) << junk;
    }
}

TEST(CanFrameTextTest, FormatsInUpperCaseAndParsesBack) {
    CanFrame f;
    f.id = 0x1AB;
    f.length = 2;
    f.data[0] = 0x0F;
    f.data[1] = 0xA0;
    EXPECT_EQ(FormatCanFrame(f), "1AB#0FA0");
    f.extended = true;
    EXPECT_EQ(FormatCanFrame(f), "000001AB#0FA0");
    f.remote = true;
    EXPECT_EQ(FormatCanFrame(f), "000001AB#R2");
    f.bus = 3;
    f.remote = false;
    const std::string line = FormatCanLogLine(1700000000000123, f);
    EXPECT_EQ(line, "(1700000000.000123) can3 000001AB#0FA0");
    LogEntry entry;
    std::string error;
    ASSERT_TRUE(ParseLogLine(line, &entry, &error)) << error;
    EXPECT_EQ(entry.kind, LogEntry::Kind::kCan);
    EXPECT_EQ(entry.timeUs, 1700000000000123);
    EXPECT_EQ(entry.can.bus, 3);
    EXPECT_EQ(FormatCanFrame(entry.can), "000001AB#0FA0");
}

TEST(LogLineTest, ParsesFramesCommentsAndJ1708) {
    LogEntry e;
    std::string error;
    ASSERT_TRUE(ParseLogLine("(1436509052.249713) vcan1 044#2A366C2BBA\r\n", &e, &error)) << error;
    EXPECT_EQ(e.kind, LogEntry::Kind::kCan);
    EXPECT_EQ(e.can.bus, 1);
    EXPECT_EQ(e.can.id, 0x44u);
    EXPECT_EQ(e.timeUs, 1436509052249713);
    ASSERT_TRUE(ParseLogLine("  (1.5) can4 123#R  ", &e, &error)) << error;
    EXPECT_EQ(e.timeUs, 1500000);  // a short fraction is tenths
    EXPECT_TRUE(e.can.remote);
    ASSERT_TRUE(ParseLogLine("(2.1234567) can0 123#00", &e, &error)) << error;
    EXPECT_EQ(e.timeUs, 2123456);  // digits past microseconds are cut
    ASSERT_TRUE(ParseLogLine("(1796676520.9298321234) can0 123#00", &e, &error)) << error;
    EXPECT_EQ(e.timeUs, 1796676520929832);  // however many there are
    for (const char* nothing : {"", "   ", "# a comment", "  #(1.0) can0 123#00"}) {
        ASSERT_TRUE(ParseLogLine(nothing, &e, &error)) << nothing;
        EXPECT_EQ(e.kind, LogEntry::Kind::kNothing);
    }
    ASSERT_TRUE(ParseLogLine("(10.000001) j1708 80#0102*7D", &e, &error)) << error;
    EXPECT_EQ(e.kind, LogEntry::Kind::kJ1708);
    EXPECT_EQ(e.j1708.mid, 0x80);
    EXPECT_EQ(e.j1708.length, 2);
    EXPECT_EQ(e.j1708.checksum, 0x7D);
    EXPECT_EQ(FormatJ1708LogLine(e.timeUs, e.j1708), "(10.000001) j1708 80#0102*7D");

    for (const char* junk : {"1.0 can0 123#00", "(1.0)can0 123#00", "(1.0) can5 123#00", "(1.0) can0",
                             "(1.0) can0 123#00 extra", "(abc) can0 123#00", "(1.) can0 123#00",
                             "(1234567890123.0) can0 123#00", "(1.0) eth0x 123#00", "(1.0) j1708 80#01*00",
                             "(1.0) j1708 8#01", "(1.0 can0 123#00"}) {
        EXPECT_FALSE(ParseLogLine(junk, &e, &error)) << junk;
    }
    const std::string withNul("(1.0) can0 123#00\0", 18);
    EXPECT_FALSE(ParseLogLine(withNul, &e, &error));
    EXPECT_EQ(error, "a NUL byte in the line");
}

TEST(J1708TextTest, ComputesOrChecksTheChecksum) {
    J1708Frame f;
    std::string error;
    ASSERT_TRUE(ParseJ1708Text("80#0102", &f, &error));
    EXPECT_EQ(f.checksum, 0x7D);
    ASSERT_TRUE(ParseJ1708Text("80#", &f, &error));
    EXPECT_EQ(f.length, 0);
    EXPECT_EQ(f.checksum, 0x80);
    EXPECT_FALSE(ParseJ1708Text("80#0102*7E", &f, &error));
    EXPECT_EQ(error, "wrong checksum");
    EXPECT_TRUE(ParseJ1708Text("80#" + std::string(38, '1'), &f, &error));  // 19 data bytes
    EXPECT_FALSE(ParseJ1708Text("80#" + std::string(40, '1'), &f, &error));
}

TEST(CommandParserTest, ReadsEveryCommand) {
    Command c;
    std::string error;
    ASSERT_TRUE(ParseCommand("can1 18FEF100#0102", &c, &error)) << error;
    EXPECT_EQ(c.kind, Command::Kind::kCan);
    EXPECT_EQ(c.can.bus, 1);
    EXPECT_EQ(c.can.id, 0x18FEF100u);
    ASSERT_TRUE(ParseCommand("  cansend can4 123#R ", &c, &error)) << error;
    EXPECT_EQ(c.can.bus, 4);
    EXPECT_TRUE(c.can.remote);
    ASSERT_TRUE(ParseCommand("j1708 80#01", &c, &error));
    EXPECT_EQ(c.kind, Command::Kind::kJ1708);
    ASSERT_TRUE(ParseCommand("job 100 0x1 2 255", &c, &error)) << error;
    EXPECT_EQ(c.kind, Command::Kind::kJob);
    EXPECT_EQ(c.address, 100);
    EXPECT_EQ(c.mode, 1u);
    EXPECT_EQ(c.bus, 2);
    EXPECT_EQ(c.parameter, 255);
    ASSERT_TRUE(ParseCommand("replay /tmp/a.log fast", &c, &error));
    EXPECT_EQ(c.kind, Command::Kind::kReplay);
    EXPECT_EQ(c.path, "/tmp/a.log");
    EXPECT_TRUE(c.fast);
    EXPECT_EQ(c.passes, 1);
    ASSERT_TRUE(ParseCommand("replay a.log loop=3 vcan0=can2 slcan1=can0 skip-gaps", &c, &error)) << error;
    EXPECT_FALSE(c.fast);
    EXPECT_EQ(c.passes, 3);
    EXPECT_TRUE(c.skipGaps);
    EXPECT_EQ(c.mapping, (std::vector<std::pair<std::string, std::uint8_t>>{{"vcan0", 2}, {"slcan1", 0}}));
    ASSERT_TRUE(ParseCommand("replay a.log loop", &c, &error)) << error;
    EXPECT_EQ(c.passes, 0);  // until stopped
    ASSERT_TRUE(ParseCommand("replay", &c, &error));
    EXPECT_EQ(c.kind, Command::Kind::kReplayStatus);
    ASSERT_TRUE(ParseCommand("replay stop", &c, &error));
    EXPECT_EQ(c.kind, Command::Kind::kReplayStop);
    ASSERT_TRUE(ParseCommand("drop 7", &c, &error));
    EXPECT_EQ(c.kind, Command::Kind::kDrop);
    ASSERT_TRUE(ParseCommand("apps", &c, &error));
    EXPECT_EQ(c.kind, Command::Kind::kList);
    // A J1939 address is hex as everywhere, with or without "0x".
    ASSERT_TRUE(ParseCommand("take can1 90", &c, &error)) << error;
    EXPECT_EQ(c.fault.address, 0x90);
    ASSERT_TRUE(ParseCommand("take can1 0x17 1", &c, &error)) << error;
    EXPECT_EQ(c.fault.address, 0x17);
    EXPECT_FALSE(ParseCommand("take can1 FE", &c, &error));
    ASSERT_TRUE(ParseCommand("# just a note", &c, &error));
    EXPECT_EQ(c.kind, Command::Kind::kNothing);

    for (const char* junk : {"can5 123#00", "can1", "can1 123#00 456#00", "job 0 1 1 1", "job 100 1 256 1",
                             "job 100 1 1", "job -1 1 1 1", "job 100 x 1 1", "list extra", "frobnicate",
                             "replay a b", "replay a loop=0", "replay a loop=x",
                             "replay a vcan0=can5", "replay a vcan0=eth1", "replay a =can1", "cansend", "drop", "drop 0x80000000", "j1708"}) {
        EXPECT_FALSE(ParseCommand(junk, &c, &error)) << junk;
    }
    // Only canN names a bus: other words ending in a digit are unknown
    // commands, answered with the list of commands.
    for (const char* other : {"eth0 123#AA", "x4 125#CC", "cna0 100#01", "CAN1 1#01", "vcan0 1#01"}) {
        EXPECT_FALSE(ParseCommand(other, &c, &error)) << other;
        EXPECT_NE(error.find("unknown command"), std::string::npos) << other << ": " << error;
        EXPECT_NE(error.find("silence"), std::string::npos) << other << ": " << error;
    }
    EXPECT_FALSE(ParseCommand("silence eth1 100", &c, &error));
    EXPECT_FALSE(ParseCommand("take x2 10", &c, &error));
}

TEST(ProgramOptionsTest, EndpointComesFromTheOptionThenTheEnvironment) {
    ProgramOptions o;
    std::string error;
    ASSERT_EQ(ParseProgramOptions({}, nullptr, &o, &error), ParseOutcome::kRun);
    EXPECT_EQ(o.simulator.endpoint, "/usr/local/quarrin/share/gatrel");
    EXPECT_EQ(o.simulator.pluginFolder, "gateway-sim-data/plugin-files");
    EXPECT_EQ(o.simulator.fileMode, 0600);  // the owner only unless the operator shares
    ASSERT_EQ(ParseProgramOptions({}, "/tmp/env", &o, &error), ParseOutcome::kRun);
    EXPECT_EQ(o.simulator.endpoint, "/tmp/env");
    ASSERT_EQ(ParseProgramOptions({"--endpoint", "/tmp/opt", "--data", "/d", "--static-ca", "1:0x80",
                                   "--static-ca", "2:17:0xA000000000000001", "--eeprom-size", "100",
                                   "--log", "-", "--control", "/c", "--replay", "r.log", "--replay-fast",
                                   "--no-prompt", "--quiet", "--socketcand", "29536", "--j1708-log", "j.log",
                                   "--bitrate", "500", "--bitrate", "3:1000", "--bitrate", "4:unlimited",
                                   "--file-mode", "0640", "--script", "s"},
                                  "/tmp/env", &o, &error),
              ParseOutcome::kRun)
        << error;
    EXPECT_EQ(o.simulator.endpoint, "/tmp/opt");
    EXPECT_EQ(o.simulator.pluginFolder, "/d/plugin-files");
    ASSERT_EQ(o.simulator.staticCas.size(), 2u);
    EXPECT_EQ(o.simulator.staticCas[0].address, 0x80);
    EXPECT_EQ(o.simulator.staticCas[0].name, 0x80u);  // the address is its default NAME
    EXPECT_EQ(o.simulator.staticCas[1].bus, 2);
    EXPECT_EQ(o.simulator.staticCas[1].name, 0xA000000000000001u);
    EXPECT_EQ(o.simulator.eepromSize, 100u);
    EXPECT_TRUE(o.replayFast);
    EXPECT_FALSE(o.prompt);
    EXPECT_EQ(o.socketcandHost, "127.0.0.1");  // the loopback address unless another is given
    EXPECT_EQ(o.socketcandPort, 29536);
    EXPECT_EQ(o.simulator.j1708LogPath, "j.log");
    EXPECT_EQ(o.simulator.bitrates, (std::array<std::uint32_t, 5>{500000, 500000, 500000, 1000000, 0}));
    EXPECT_EQ(o.simulator.fileMode, 0640);
    EXPECT_EQ(o.scriptPath, "s");

    ASSERT_EQ(ParseProgramOptions({"--log-append", "b.log", "--silence", "timing", "--silence", "replay",
                                   "--timing-tolerance", "2.5", "--events", "e.jsonl", "--report", "r.html"},
                                  nullptr, &o, &error),
              ParseOutcome::kRun)
        << error;
    EXPECT_EQ(o.simulator.silenced, unsigned{kReportTiming | kReportReplay});
    EXPECT_EQ(o.simulator.timingTolerancePercent, 2.5);
    EXPECT_EQ(o.simulator.logPath, "b.log");
    EXPECT_TRUE(o.simulator.logAppend);
    EXPECT_EQ(o.eventsPath, "e.jsonl");
    EXPECT_EQ(o.reportPath, "r.html");

    EXPECT_EQ(ParseProgramOptions({"--help"}, nullptr, &o, &error), ParseOutcome::kHelp);
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--endpoint"}, {"--static-ca", "5:1"}, {"--static-ca", "1:254"},
                                               {"--static-ca", "1:2:XYZ"}, {"--eeprom-size", "0"},
                                               {"--eeprom-size", "-1"}, {"--eeprom-size", "99999999"}, {"--bogus"},
                                               {"--socketcand", "a host:1"}, {"--socketcand", "0"}, {"--log", ""},
                                               {"--bitrate", "300"}, {"--bitrate", "5:250"},
                                               {"--log", "a", "--log-append", "b"}, {"--silence", "all"},
                                               {"--timing-tolerance", "0"}, {"--bitrate", "Unlimited"},
                                               {"--file-mode", "0800"}, {"--file-mode", "1777"}, {"--file-mode", "rw"},
                                               {"--report", "r.html"}, {"--report", "r.html", "--log", "-"},
                                               {"--events", ""}}) {
        EXPECT_EQ(ParseProgramOptions(bad, nullptr, &o, &error), ParseOutcome::kError) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
