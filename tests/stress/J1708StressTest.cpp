// The J1708 bus under load: frames stream in while the catch-all callback is
// replaced, rows are updated while they are sent on request and cyclically,
// and the instance shuts down in the middle of it all.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "CoreFixture.h"

using CustomApplication::J1708Types::J1708ReceiveTableEntry;
using CustomApplication::J1708Types::J1708TransmitTableEntry;
using testsupport::CoreFixture;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::atomic<int> mismatches{0};
std::atomic<int> delivered{0};
int rowContext = 0;
int contextA = 0;
int contextB = 0;

void Row(void* context, unsigned char, unsigned char, unsigned char, const unsigned char*, unsigned char) {
    if (context != &rowContext) ++mismatches;
    ++delivered;
}
void CatchA(void* context, unsigned char, unsigned char, unsigned char, const unsigned char*, unsigned char) {
    if (context != &contextA) ++mismatches;
    ++delivered;
}
void CatchB(void* context, unsigned char, unsigned char, unsigned char, const unsigned char*, unsigned char) {
    if (context != &contextB) ++mismatches;
    ++delivered;
}

class J1708Stress : public CoreFixture {};

TEST_F(J1708Stress, FramesUpdatesCyclicSendsAndShutdownAtOnce) {
    ASSERT_EQ(InitApp(), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    const std::uint8_t four[4] = {4, 4, 4, 4};
    J1708ReceiveTableEntry receive[1] = {{1, &Row, &rowContext}};
    J1708TransmitTableEntry transmit[2] = {{four, 4, 0x50, 10, 1}, {four, 4, 0x51, 0, 1}};
    ASSERT_EQ(sdk.J1708Init(receive, 1, transmit, 2), 0);
    sdk.J1708RegisterReceiveAllMessages(&CatchA, &contextA);

    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (int i = 0; i < 2000 && !stop.load(); ++i) {
            const std::uint8_t mid = static_cast<std::uint8_t>(1 + i % 2);
            platform.Send(kAddress, 20, 2, Bytes{0, 0, 3, mid, 0x11, 0x22});
        }
    });
    std::thread registrar([&] {
        for (int i = 0; !stop.load(); ++i) {
            if (i % 2 == 0) {
                sdk.J1708RegisterReceiveAllMessages(&CatchB, &contextB);
            } else {
                sdk.J1708RegisterReceiveAllMessages(&CatchA, &contextA);
            }
        }
    });
    std::thread updater([&] {
        for (int i = 0; !stop.load(); ++i) {
            // Every update fills the row with its own length, so a record
            // whose length and bytes were taken apart would show it.
            const std::uint8_t length = static_cast<std::uint8_t>(1 + i % 20);
            const Bytes data(length, length);
            sdk.J1708UpdateMessageData(i % 2, data.data(), length);
            sdk.J1708SendMessage(i % 2);
        }
    });
    std::thread ticker([&] {
        while (!stop.load()) {
            clock.Advance(10);
            std::this_thread::yield();
        }
    });

    // Shut down once the stream is well under way.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (delivered.load() < 300 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    // ... and the rows have reached the platform at least once.
    const auto recordsSent = [&] {
        for (const auto& message : platform.Messages()) {
            if (message.category == 20 && message.children[0].command == 1) return true;
        }
        return false;
    };
    while (!recordsSent() && std::chrono::steady_clock::now() < deadline) {
        platform.AwaitMessages(platform.Messages().size() + 1, 100);
    }
    sdk.Shutdown();
    const int atShutdown = delivered.load();
    stop = true;
    sender.join();
    registrar.join();
    updater.join();
    ticker.join();

    EXPECT_GE(atShutdown, 300);
    EXPECT_EQ(delivered.load(), atShutdown);  // nothing was delivered after Shutdown returned
    EXPECT_EQ(mismatches.load(), 0);
    ASSERT_TRUE(platform.AwaitClientGone(kAddress));
    int records = 0;
    int torn = 0;
    for (const auto& message : platform.Messages()) {
        if (message.category != 20 || message.children[0].command != 1) continue;
        const Bytes& record = message.children[0].payload;
        ++records;
        const std::uint8_t length = static_cast<std::uint8_t>(record[2] - 1);
        for (std::size_t i = 0; i < length; ++i) {
            if (record[4 + i] != length) {
                ++torn;
                break;
            }
        }
    }
    EXPECT_GT(records, 0);
    EXPECT_EQ(torn, 0);
}

}  // namespace
