// Writes made while a thread's thread-local objects are being destroyed (an
// instance torn down by a thread-local or static destructor at exit) encode
// their frame whole instead of into the destroyed per-thread buffer.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "CoreFixture.h"

using CustomApplication::CANTypes::CANMessage;
using CustomApplication::CANTypes::Standard;
using testsupport::CoreFixture;

namespace {

struct AtThreadExit {
    std::function<void()> action;
    ~AtThreadExit() {
        if (action) action();
    }
};

class ThreadExitWrite : public CoreFixture {};

TEST_F(ThreadExitWrite, AFrameWrittenDuringThreadLocalDestructionArrivesWhole) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    const std::size_t before = platform.Messages().size();

    CANMessage first{CustomApplication::CoreTypes::CANBus1, 0x101, Standard, 2, {1, 2}};
    CANMessage last{CustomApplication::CoreTypes::CANBus1, 0x102, Standard, 8, {9, 8, 7, 6, 5, 4, 3, 2}};
    int firstResult = -1;
    int lastResult = -1;
    std::thread writer([&] {
        // Constructed before the write below creates the thread's frame
        // buffer, so destroyed after it.
        thread_local AtThreadExit atExit;
        atExit.action = [&] { lastResult = sdk.CANSendMessage(&last); };
        firstResult = sdk.CANSendMessage(&first);
    });
    writer.join();
    EXPECT_EQ(firstResult, 0);
    EXPECT_EQ(lastResult, 0);

    ASSERT_TRUE(platform.AwaitMessages(before + 2));
    const auto messages = platform.Messages();
    const auto& sent = messages[before + 1];
    ASSERT_EQ(sent.children.size(), 1u);
    const auto& payload = sent.children[0].payload;
    ASSERT_GE(payload.size(), 16u);
    // The record carries the identifier and all eight bytes of the last frame.
    EXPECT_EQ(payload[0] | (payload[1] << 8), 0x102);
    EXPECT_EQ(std::vector<std::uint8_t>(payload.end() - 8, payload.end()),
              (std::vector<std::uint8_t>{9, 8, 7, 6, 5, 4, 3, 2}));
}

}  // namespace
