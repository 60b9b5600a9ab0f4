// The CAN service's records and encoders, byte for byte.
#include <gtest/gtest.h>

#include "CANTestUtil.h"
#include "IPCClient.h"
#include "TestPlatform.h"
#include "can/CANIPC.h"

using namespace cantest;
using PlatformServices::IPCClient;
using PlatformServices::CANIPC::AddSubscription;
using PlatformServices::CANIPC::AddSubscriptionData;
using PlatformServices::CANIPC::RemoveSubscription;
using testsupport::TestPlatform;

namespace {

class CANEncoders : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(client.Connect("/redirected/by/the/environment"), 0);
        ASSERT_GT(client.RegisterAddress(60), 0);
        ASSERT_TRUE(platform.AwaitClient(60));
    }
    TestPlatform platform;
    IPCClient client;
    CustomApplication::ClientSink sink{&client};
};

TEST_F(CANEncoders, CommandsTwoThreeAndFiveGoToAddress254AsOneChildEach) {
    AddSubscriptionData data{};
    data.Bus = 3;
    data.Identifier = 0x18FEF100;
    data.Mask = 0x1FFFFFFF;
    EXPECT_EQ(AddSubscription(&data, sink), 0);
    EXPECT_EQ(RemoveSubscription(&data, sink), 0);
    EXPECT_EQ(RemoveSubscription(sink), 0);
    ASSERT_TRUE(platform.AwaitMessages(3));

    const Bytes golden{0x03, 0x00, 0x00, 0x00, 0x00, 0xF1, 0xFE, 0x18, 0xFF, 0xFF, 0xFF, 0x1F};
    const auto messages = platform.Messages();
    ASSERT_EQ(messages.size(), 3u);
    const std::int32_t commands[] = {2, 5, 3};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(messages[i].category, 10);
        EXPECT_EQ(messages[i].destination, 254);
        EXPECT_EQ(messages[i].source, 60);
        ASSERT_EQ(messages[i].children.size(), 1u);
        EXPECT_EQ(messages[i].children[0].command, commands[i]);
    }
    EXPECT_EQ(messages[0].children[0].payload, golden);
    EXPECT_EQ(messages[1].children[0].payload, golden);
    EXPECT_TRUE(messages[2].children[0].payload.empty());
}

TEST_F(CANEncoders, ANullRecordOrNoClientSendsNothing) {
    AddSubscriptionData data{};
    CustomApplication::ClientSink unconnected(nullptr);
    EXPECT_EQ(AddSubscription(&data, unconnected), -22);
    EXPECT_EQ(AddSubscription(nullptr, sink), -22);
    EXPECT_EQ(RemoveSubscription(&data, unconnected), -22);
    EXPECT_EQ(RemoveSubscription(nullptr, sink), -22);
    EXPECT_EQ(RemoveSubscription(unconnected), -22);
    // The first message the platform sees is the one sent after these.
    EXPECT_EQ(RemoveSubscription(sink), 0);
    ASSERT_TRUE(platform.AwaitMessages(1));
    const auto messages = platform.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].children.at(0).command, 3);
}

}  // namespace
