#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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

// A silent bus carries nothing from the moment the silence begins: the
// frames already waiting for the wire are refused and counted with the rest.
TEST_F(FaultsTest, ASilenceRefusesTheFramesWaitingForTheBus) {
    options_.bitrates[1] = 250000;
    StartSim();
    RawApp& listener = Connect(100);
    Bytes all(can::kSubscriptionBytes, 0);
    all[0] = 1;
    listener.Send(kCategoryCan, can::kCmdSubscribe, all);
    listener.Sync();
    // Four senders, 60 frames each: about 120 ms of wire at 250 kbit/s.
    constexpr std::size_t kSenders = 4, kFrames = 60;
    std::vector<RawApp*> senders;
    for (std::size_t i = 0; i < kSenders; ++i) senders.push_back(&Connect(101 + static_cast<std::int32_t>(i)));
    for (RawApp* sender : senders) {
        for (std::size_t n = 0; n < kFrames; ++n) {
            Bytes frame(can::kFrameRecordBytes, 0);
            Put32(frame, 0, 0x100 + static_cast<std::uint32_t>(n));
            frame[5] = 1;
            frame[7] = 8;
            sender->Send(kCategoryCan, can::kCmdSend, frame);
        }
    }
    for (RawApp* sender : senders) sender->Sync();
    ASSERT_TRUE(Run("silence can1 60000").ok);
    const std::string listed = Run("faults").text;
    const std::size_t at = listed.find("left, ");
    ASSERT_NE(at, std::string::npos) << listed;
    const unsigned long refused = std::stoul(listed.substr(at + 6));
    listener.Sync();
    const std::size_t received = listener.Of(kCategoryCan, can::kCmdReceived).size();
    EXPECT_GT(refused, 0u) << listed;
    EXPECT_EQ(received + refused, kSenders * kFrames) << listed;
    // Nothing more comes while the silence lasts.
    ASSERT_TRUE(Run("can1 7FF#01").ok);
    listener.Sync();
    EXPECT_EQ(listener.Of(kCategoryCan, can::kCmdReceived).size(), received);
}

// A stalled application is held a bounded backlog: the oldest messages
// go, counted; the rest flow once the stall ends, and the application stays.
TEST_F(FaultsTest, AStallHoldsABoundedBacklogThatFlowsAtItsEnd) {
    options_.stallHeldMessages = 100;
    StartSim();
    RawApp& stalled = Connect(100);
    RawApp& sender = Connect(101);
    stalled.Send(kCategoryCan, can::kCmdSubscribe, Bytes(can::kSubscriptionBytes, 0));
    stalled.Sync();
    ASSERT_TRUE(Run("stall 100 60000").ok);
    for (std::uint32_t n = 0; n < 300; ++n) {
        Bytes frame(can::kFrameRecordBytes, 0);
        Put32(frame, 0, n);
        frame[7] = 1;
        sender.Send(kCategoryCan, can::kCmdSend, frame);
    }
    sender.Sync();
    ASSERT_TRUE(Run("clear").ok);
    EXPECT_TRUE(AwaitReport("application 100: 200 messages to it dropped during the stall, the oldest first"));
    stalled.Sync();
    const std::vector<Received> frames = stalled.Of(kCategoryCan, can::kCmdReceived);
    ASSERT_EQ(frames.size(), 100u);
    EXPECT_EQ(Get32(frames.front().payload, 0), 200u);
    EXPECT_EQ(Get32(frames.back().payload, 0), 299u);
    EXPECT_EQ(CountReports("application 100 dropped"), 0u);
}

// A stall is of an address: the connection that takes the address after a
// restart is stalled as well, until the stall ends.
TEST_F(FaultsTest, AStallHoldsAcrossAReconnection) {
    StartSim();
    Connect(100);
    ASSERT_TRUE(Run("stall 100 60000").ok);
    ASSERT_TRUE(Run("restart").ok);
    ASSERT_TRUE(AwaitReport("application 100 disconnected"));
    RawApp& listener = Connect(101);
    listener.Send(kCategoryCan, can::kCmdSubscribe, Bytes(can::kSubscriptionBytes, 0));
    listener.Sync();
    RawApp& again = Connect(100);
    Bytes frame(can::kFrameRecordBytes, 0);
    Put32(frame, 0, 0x321);
    frame[7] = 1;
    again.Send(kCategoryCan, can::kCmdSend, frame);
    // Rounds through the simulator that would have carried the frame.
    for (int round = 0; round < 3; ++round) listener.Sync();
    EXPECT_TRUE(listener.Of(kCategoryCan, can::kCmdReceived).empty());
    ASSERT_TRUE(Run("clear").ok);
    EXPECT_EQ(listener.AwaitCount(kCategoryCan, can::kCmdReceived, 1).size(), 1u);
}

}  // namespace
