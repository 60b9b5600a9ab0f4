// The scenario language without a simulator: frame and data patterns, the
// J1939 messages the matcher sees, and the parser's words and errors.
#include <gtest/gtest.h>

#include <sstream>

#include "scenario/Matcher.h"
#include "scenario/Parser.h"

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
    EXPECT_EQ(statements[0].pgn, 0xEE00u);
    EXPECT_EQ(statements[0].source, 0x17);
    EXPECT_EQ(statements[0].ms, 16);
    EXPECT_EQ(statements[1].ms, 0);  // at once
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0].line, 4);
    EXPECT_NE(errors[0].reason.find("usage: expect can canN FRAME"), std::string::npos) << errors[0].reason;
    EXPECT_EQ(errors[1].line, 5);
    EXPECT_EQ(errors[2].line, 6);
}

}  // namespace
}  // namespace gatewaysim
