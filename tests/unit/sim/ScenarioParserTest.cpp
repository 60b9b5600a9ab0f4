// The scenario language without a simulator: frame and data patterns, the
// J1939 messages the matcher sees, and the parser's words and errors.
#include <gtest/gtest.h>

#include <sstream>

#include "scenario/Matcher.h"
#include "scenario/Parser.h"
#include "scenario/Report.h"

namespace gatewaysim {
namespace {

CanFrame Frame(std::uint32_t id, std::initializer_list<std::uint8_t> data, bool extended = true) {
    CanFrame frame;
    frame.bus = 1;
    frame.extended = extended;
    frame.id = id;
    for (const std::uint8_t byte : data) frame.data[frame.length++] = byte;
    return frame;
}

TEST(ScenarioPatterns, DataMasksAndRemoteFrames) {
    FramePattern p;
    std::string error;
    ASSERT_TRUE(FramePattern::Parse("121#05/0Fx1..*", &p, &error)) << error;
    EXPECT_TRUE(p.Matches(Frame(0x121, {0xF5, 0x31, 0x00, 0x09}, false)));
    EXPECT_FALSE(p.Matches(Frame(0x121, {0xF4, 0x31, 0x00}, false)));  // masked bits differ
    EXPECT_FALSE(p.Matches(Frame(0x121, {0x05, 0x32, 0x00}, false)));  // digit differs
    EXPECT_FALSE(p.Matches(Frame(0x121, {0x05, 0x31}, false)));        // too short

    CanFrame remote = Frame(0x7DF, {}, false);
    remote.remote = true;
    remote.length = 8;
    ASSERT_TRUE(FramePattern::Parse("7DF#0000000000000000", &p, &error));
    EXPECT_FALSE(p.Matches(remote));
    ASSERT_TRUE(FramePattern::Parse("7DF", &p, &error));
    EXPECT_FALSE(p.Matches(remote));
    EXPECT_TRUE(p.SameIdentifier(remote));
    ASSERT_TRUE(FramePattern::Parse("7DF#R8", &p, &error));
    EXPECT_TRUE(p.Matches(remote));
    EXPECT_FALSE(p.Matches(Frame(0x7DF, {0, 0, 0, 0, 0, 0, 0, 0}, false)));
    ASSERT_TRUE(FramePattern::Parse("7DF#R2", &p, &error));
    EXPECT_FALSE(p.Matches(remote));

    for (const char* bad : {"12#01", "800#01", "123#0", "123#01/0", "123#..//", "123#R9", "123#010203040506070809",
                            "123#01/F", "123#xx/0F"})
        EXPECT_FALSE(FramePattern::Parse(bad, &p, &error)) << bad;
}

TEST(ScenarioPatterns, LongJ1939MessagesCountWhenComplete) {
    J1939Assembler assembler;
    J1939Message message;
    // Connection mode: the RTS, the CTS and the first packet are no message.
    EXPECT_FALSE(assembler.Feed(Frame(0x1CEC9080, {0x10, 0x09, 0x00, 0x02, 0xFF, 0x00, 0xEF, 0x00}), &message));
    EXPECT_FALSE(assembler.Feed(Frame(0x1CEC8090, {0x11, 0x02, 0x01, 0xFF, 0xFF, 0x00, 0xEF, 0x00}), &message));
    EXPECT_FALSE(assembler.Feed(Frame(0x1CEB9080, {1, 1, 2, 3, 4, 5, 6, 7}), &message));
    ASSERT_TRUE(assembler.Feed(Frame(0x1CEB9080, {2, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), &message));
    EXPECT_EQ(message.pgn, 0xEF00u);
    EXPECT_EQ(message.source, 0x80);
    EXPECT_EQ(message.destination, 0x90);
    EXPECT_EQ(message.data, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    // The session is over: a repeated last packet is no second message.
    EXPECT_FALSE(assembler.Feed(Frame(0x1CEB9080, {2, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), &message));

    // A broadcast missing a packet, an aborted session and an inconsistent
    // announcement give nothing; a short packet is not read past its end.
    EXPECT_FALSE(assembler.Feed(Frame(0x18ECFF80, {0x20, 0x09, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00}), &message));
    EXPECT_FALSE(assembler.Feed(Frame(0x18EBFF80, {2, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), &message));
    EXPECT_FALSE(assembler.Feed(Frame(0x18ECFF80, {0x20, 0x40, 0x00, 0x02, 0xFF, 0xCA, 0xFE, 0x00}), &message));
    EXPECT_FALSE(assembler.Feed(Frame(0x18EBFF80, {1, 1, 2, 3, 4, 5, 6, 7}), &message));
    EXPECT_FALSE(assembler.Feed(Frame(0x18EBFF80, {2, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), &message));
    EXPECT_FALSE(assembler.Feed(Frame(0x1CEB9080, {1, 2}), &message));

    // A single frame is a message of its own.
    ASSERT_TRUE(assembler.Feed(Frame(0x18FEF1AA, {1, 2, 3}), &message));
    EXPECT_EQ(message.pgn, 0xFEF1u);
    EXPECT_EQ(message.destination, 0xFF);
}

TEST(ScenarioParser, WordsNumbersAndEveryError) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(SplitWords("start\fsh -c \"echo \\\"hi\\\"; exit 3\" 'a b'\\ c", &words, &error)) << error;
    EXPECT_EQ(words, (std::vector<std::string>{"start", "sh", "-c", "echo \"hi\"; exit 3", "a b c"}));
    EXPECT_FALSE(SplitWords("start 'open", &words, &error));

    std::istringstream file(
        "expect j1939 can1 0xEE00 from 0x17 to FF within 0x10\n"
        "\v\n"
        "expect connected 100\n"
        "expect can can1 123 within\n"
        "expect period can1 123 100 tolerance 10% over 50\n"
        "frobnicate\n");
    std::vector<ParseError> errors;
    const std::vector<Statement> statements = ParseScenario(file, &errors).statements;
    ASSERT_EQ(statements.size(), 2u);
    EXPECT_EQ(statements[0].j1939.pgn, 0xEE00u);
    EXPECT_EQ(statements[0].j1939.source, 0x17);
    EXPECT_EQ(statements[0].ms, 16);
    EXPECT_EQ(statements[1].ms, 0);  // at once
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0].line, 4);
    EXPECT_NE(errors[0].reason.find("usage: expect can canN FRAME"), std::string::npos) << errors[0].reason;
    EXPECT_EQ(errors[1].line, 5);
    EXPECT_EQ(errors[2].line, 6);
}

// `expect signal` needs a database that knows the signal: a name it lacks
// is an error of its line before anything runs, never a silent pass.
TEST(ScenarioParser, SignalAndDtcExpectations) {
    signaldb::Database db;
    signaldb::ParseError dbcError;
    ASSERT_TRUE(signaldb::ParseDbc("BU_: Engine\n"
                                   "BO_ 2364539904 EEC1: 8 Engine\n"
                                   " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Vector__XXX\n"
                                   " SG_ Mode : 0|4@1+ (1,0) [0|15] \"\" Vector__XXX\n"
                                   "BO_ 291 Status: 8 Engine\n"
                                   " SG_ Level : 0|8@1+ (1,0) [0|255] \"\" Vector__XXX\n"
                                   "VAL_ 2364539904 Mode 0 \"Idle\" 3 \"Overspeed\" ;\n",
                                   "t.dbc", &db, &dbcError))
        << dbcError.ToString();
    signaldb::BusDatabases databases;
    databases.Add(1, std::make_shared<const signaldb::Database>(db));

    std::istringstream file(
        "expect signal can1 EEC1.EngineSpeed between 1000 1500.5 from 00 within 500\n"
        "expect signal EEC1.Mode == Overspeed within 500\n"
        "expect dtc can1 from 80 190 0 lamp amber within 3000\n"
        "expect dtc none within 3000\n"
        "expect signal can1 EEC1.EngineSpeed ~ 3 within 500\n"
        "expect dtc can1 190 32 within 500\n"
        "expect dtc can1 190 1 lamp green within 500\n"
        "expect signal can2 EEC1.EngineSpeed > 3 within 500\n"
        "expect signal EEC1.Speed > 3 within 500\n"
        "expect signal EEC1.Mode == Stalled within 500\n"
        "expect signal Status.Level > 3 from 00 within 500\n");
    std::vector<ParseError> errors;
    Script script = ParseScenario(file, &errors);
    ResolveSignals(&script, &databases, &errors);
    ASSERT_EQ(script.statements.size(), 8u);
    const Statement& between = script.statements[0];
    EXPECT_EQ(between.signal.op, SignalCondition::Op::kBetween);
    EXPECT_TRUE(between.signal.Holds(1500.5) && between.signal.Holds(1000) && !between.signal.Holds(999.875));
    EXPECT_EQ(between.j1939.source, 0x00);
    const Statement& named = script.statements[1];
    EXPECT_FALSE(named.busGiven);
    EXPECT_EQ(named.signal.value, 3);
    EXPECT_EQ(script.statements[2].dtc.spn, 190u);
    EXPECT_EQ(script.statements[2].dtc.lamp, DtcPattern::kAmber);
    EXPECT_TRUE(script.statements[3].dtc.none);
    std::vector<int> lines;
    for (const ParseError& error : errors) lines.push_back(error.line);
    EXPECT_EQ(lines, (std::vector<int>{5, 6, 7, 8, 9, 10, 11}));
    EXPECT_NE(errors[3].reason.find("for can2"), std::string::npos) << errors[3].reason;

    // Without --dbc the statement does not load.
    errors.clear();
    ResolveSignals(&script, nullptr, &errors);
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors[0].reason.find("--dbc"), std::string::npos) << errors[0].reason;

    // DM1 as J1939-73 lays it out; the "no active faults" entry is none.
    std::uint8_t lamps = 0;
    std::vector<ActiveDtc> dtcs;
    ASSERT_TRUE(ReadDiagnosticMessage({0x04, 0xFF, 0xBE, 0x00, 0x00, 0x01, 0x64, 0x00, 0xE3, 0x05}, &lamps, &dtcs));
    ASSERT_EQ(dtcs.size(), 2u);
    EXPECT_EQ(dtcs[1].spn, 0x70064u);
    EXPECT_EQ(dtcs[1].fmi, 3);
    EXPECT_TRUE(LampOn(lamps, DtcPattern::kAmber) && !LampOn(lamps, DtcPattern::kMil));
    ASSERT_TRUE(ReadDiagnosticMessage({0x00, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF}, &lamps, &dtcs));
    EXPECT_TRUE(dtcs.empty());
    EXPECT_FALSE(ReadDiagnosticMessage({0x00, 0xFF, 0xBE}, &lamps, &dtcs));
}

TEST(ScenarioReport, JunitXmlEscapesWhatTheLinesHold) {
    CaseResult good;
    good.name = "good";
    good.passed = 2;
    CaseResult bad;
    bad.name = "bad";
    bad.failed = 1;
    bad.failures = {"FAIL line 3: expect output app \"<a & b>\"\x01: nothing printed"};
    const std::string xml = JunitXml("x.scenario", {good, bad});
    EXPECT_NE(xml.find("tests=\"2\" failures=\"1\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<testcase name=\"good\" classname=\"x.scenario\" time=\"0.000\"/>"), std::string::npos);
    EXPECT_NE(xml.find("message=\"FAIL line 3: expect output app &quot;&lt;a &amp; b&gt;&quot;?: nothing printed\""),
              std::string::npos)
        << xml;
}

}  // namespace
}  // namespace gatewaysim
