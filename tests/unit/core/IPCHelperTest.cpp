#include <gtest/gtest.h>

#include "IPCClient.h"
#include "TestPlatform.h"
#include "core/IPCHelper.h"

using PlatformServices::IPCClient;
using PlatformServices::IPCHelper::Request;
using testsupport::TestPlatform;

namespace {

class IPCHelperRequest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(client.Connect("/nonexistent/redirected/by/the/environment"), 0);
        ASSERT_GT(client.RegisterAddress(50), 0);
        ASSERT_TRUE(platform.AwaitClient(50));
    }
    TestPlatform platform;
    IPCClient client;
};

TEST_F(IPCHelperRequest, ClientSendsOneEnvelopeWithTheTwoByteRequestNumber) {
    EXPECT_EQ(Request(10, 13, 13, &client, nullptr), 0);
    ASSERT_TRUE(platform.AwaitMessages(1));
    const auto message = platform.Messages().at(0);
    EXPECT_EQ(message.category, 13);
    EXPECT_EQ(message.destination, 13);
    EXPECT_EQ(message.source, 50);
    ASSERT_EQ(message.children.size(), 1u);
    EXPECT_EQ(message.children[0].command, 0);
    EXPECT_EQ(message.children[0].payload, (std::vector<std::uint8_t>{0x0a, 0x00}));
}

TEST_F(IPCHelperRequest, NeitherClientNorServerSendsNothing) {
    EXPECT_EQ(Request(10, 13, 13, nullptr, nullptr), -22);
    // A later request is the first message the platform sees.
    EXPECT_EQ(Request(0x1234, 22, 22, &client, &platform.Server()), 0);
    ASSERT_TRUE(platform.AwaitMessages(1));
    const auto messages = platform.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].category, 22);
    EXPECT_EQ(messages[0].children[0].payload, (std::vector<std::uint8_t>{0x34, 0x12}));
}

TEST_F(IPCHelperRequest, ServerOnlyStampsItsOwnAddressAsSource) {
    ASSERT_EQ(Request(-2, 13, 50, nullptr, &platform.Server()), 0);
    PlatformServices::MessageBatch batch;
    ASSERT_GT(client.Read(batch), 0);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0]->GetCommand(), 13);
    EXPECT_EQ(batch[0]->GetSourceAddress(), platform.Server().GetServerAddress());
    ASSERT_TRUE(batch[0]->ParseChildMessages());
    const auto& child = *batch[0]->GetChildMessages().at(0);
    EXPECT_EQ(child.GetCommand(), 0);
    ASSERT_EQ(child.GetLength(), 2u);
    EXPECT_EQ(child.GetData()[0], 0xfe);
    EXPECT_EQ(child.GetData()[1], 0xff);
}

}  // namespace
