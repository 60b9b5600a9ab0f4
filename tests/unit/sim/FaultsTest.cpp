#include <gtest/gtest.h>

#include "SimFixture.h"

namespace {

using namespace simtest;
using namespace gatewaysim;

using FaultsTest = SimTest;

TEST_F(FaultsTest, MalformedFaultsAreRefusedWithTheirUsage) {
    StartSim();
    for (const char* line : {"stall", "stall all 0", "stall 0 10", "delay foo 10", "withhold eeprom 0",
                             "eeprom 5 fail sometimes", "take can9 1", "take can1 254", "silence can1 0",
                             "faults now", "restart please"}) {
        const CommandReply reply = Run(line);
        EXPECT_FALSE(reply.ok) << line;
        EXPECT_NE(reply.text.find(std::string(line).substr(0, 4)), std::string::npos) << line << ": " << reply.text;
    }
    EXPECT_FALSE(Run("stall 77 100").ok);  // no such application
    EXPECT_EQ(Run("faults").text, "no fault in force\n");
}

TEST_F(FaultsTest, EachFaultIsReportedWhenItStartsAndEnds) {
    StartSim();
    RawApp& app = Connect(100);
    ASSERT_TRUE(Run("withhold j1939 2").ok);
    EXPECT_TRUE(AwaitReport("fault started: j1939 answers withheld, the next 2"));
    const Bytes request{10, 0};  // which CAs are present on can0
    app.Send(kCategoryJ1939, j1939::kCmdRequest, request);
    app.Send(kCategoryJ1939, j1939::kCmdRequest, request);
    app.Sync();  // the third is answered
    EXPECT_EQ(app.Of(kCategoryJ1939, j1939::kCmdCAsPresent).size(), 1u);
    EXPECT_TRUE(AwaitReport("fault ended: j1939 answers withheld, the next 2; 2 answers withheld"));

    // Ended by time, with what it did.
    ASSERT_TRUE(Run("silence can0 100").ok);
    ASSERT_TRUE(Run("can0 123#01").ok);
    EXPECT_TRUE(AwaitReport("fault ended: can0 silent for 100 ms; 1 frames refused"));
    // Replaced, then cleared.
    ASSERT_TRUE(Run("delay plugin 100").ok);
    ASSERT_TRUE(Run("delay plugin 200").ok);
    EXPECT_TRUE(AwaitReport("fault ended: plugin answers 100 ms late"));
    EXPECT_EQ(Run("faults").text, "plugin answers 200 ms late\n");
    ASSERT_TRUE(Run("clear").ok);
    EXPECT_TRUE(AwaitReport("fault ended: plugin answers 200 ms late"));
    EXPECT_EQ(Run("faults").text, "no fault in force\n");
}

}  // namespace
