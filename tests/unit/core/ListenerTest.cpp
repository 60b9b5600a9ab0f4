#include <gtest/gtest.h>

#include "CoreFixture.h"

using testsupport::CoreFixture;
using testsupport::TestPlatform;

namespace {

class Listener : public CoreFixture {
protected:
    void SetUp() override {
        ASSERT_EQ(InitApp(), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
    }
};

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_F(Listener, HooksAlternateAroundEveryMessageOfABatchAlsoForUnknownCategories) {
    // Three envelopes in one write arrive as one batch: CAN, an unknown
    // category and custom-application services.
    const auto bytes = Concat({TestPlatform::Frame(10, 1, std::vector<std::uint8_t>(16, 0)),
                               TestPlatform::Frame(77, 1, {1, 2, 3}), TestPlatform::Frame(22, 4, {0, 0, 0, 0})});
    ASSERT_EQ(platform.SendRaw(kAddress, bytes), 0);
    ASSERT_TRUE(host.AwaitEvents(6));
    EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin", "end", "begin", "end", "begin", "end"}));
}

TEST_F(Listener, MalformedFramingDropsTheConnectionAfterTheWholeMessagesBeforeIt) {
    auto bytes = TestPlatform::Frame(13, 5, {1, 2});
    const std::uint8_t hugeLength[] = {0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0};
    bytes.insert(bytes.end(), std::begin(hugeLength), std::end(hugeLength));
    ASSERT_EQ(platform.SendRaw(kAddress, bytes), 0);
    ASSERT_TRUE(host.AwaitEvents(2));
    // The broken stream is dropped; the library connects anew by itself, and
    // messages flow on the new connection.
    ASSERT_TRUE(AwaitReconnections(1));
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    ASSERT_EQ(platform.Send(kAddress, 20, 1, {}), 0);
    ASSERT_TRUE(host.AwaitEvents(4));
    sdk.Shutdown();
    EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin", "end", "begin", "end"}));
    EXPECT_FALSE(State().clientActive);
}

TEST_F(Listener, GarbledChildrenAreDroppedButTheHooksStillRun) {
    // A category-13 envelope whose child claims more bytes than it carries.
    auto bytes = TestPlatform::Frame(13, 5, {1, 2, 3, 4});
    bytes[4 + 16 + 8] = 200;  // the child's length field
    ASSERT_EQ(platform.SendRaw(kAddress, bytes), 0);
    ASSERT_EQ(platform.Send(kAddress, 20, 1, {}), 0);
    ASSERT_TRUE(host.AwaitEvents(4));
    EXPECT_TRUE(State().clientActive);
}

TEST_F(Listener, ShutdownReturnsWhileTheListenerIsBlockedInRead) {
    sdk.Shutdown();
    EXPECT_TRUE(State().stopRequested);
    EXPECT_TRUE(platform.AwaitClientGone(kAddress));
}

}  // namespace
