// Frames stream in while another bus is set up, payloads change while rows
// go out, and the instance shuts down mid-stream. Bounded in count and time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "TestHost.h"
#include "TestPlatform.h"
#include "can/CANIPC.h"

using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::FrameType;
using CustomApplication::CANTypes::Standard;
using CustomApplication::CoreTypes::CANBus;
using testsupport::TestPlatform;

namespace {

constexpr std::int32_t kAddress = 100;
constexpr int kFrames = 3000;
constexpr int kShutdownAfter = 600;  // deliveries before the shutdown, at least
constexpr std::uint32_t kFirstRow = 0x500;
constexpr int kRows = 4;

// A count that can be awaited.
struct Counter {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;

    void Add() {
        {
            std::lock_guard<std::mutex> guard(lock);
            ++count;
        }
        changed.notify_all();
    }
    bool Await(int atLeast, int realTimeoutMs) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] { return count >= atLeast; });
    }
};

// Counts deliveries; notes any that starts after Shutdown has returned.
struct Receiver : Counter {
    std::atomic<bool> shutdownReturned{false};
    std::atomic<int> late{0};

    static void Callback(void* context, CANBus, unsigned int, FrameType, const unsigned char* data,
                         unsigned char length) {
        auto* self = static_cast<Receiver*>(context);
        if (self->shutdownReturned.load()) self->late.fetch_add(1);
        unsigned sum = 0;
        for (unsigned char i = 0; i < length; ++i) sum += data[i];  // the payload is readable
        (void)sum;
        self->Add();
    }
};

std::vector<std::uint8_t> FrameRecord(std::uint32_t identifier, std::uint8_t bus, std::uint8_t fill) {
    PlatformServices::CANIPC::Message record{};
    record.Identifier = identifier;
    record.Bus = bus;
    record.Length = 8;
    std::memset(record.Data, fill, sizeof record.Data);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof record);
}

TEST(CANStress, FramesUpdatesAndSendsRaceSetUpAndShutdown) {
    // Every frame of a transmit row must carry a payload as one update wrote
    // it: length L, every byte L. Declared first: the platform's thread counts
    // until the platform is gone.
    Counter rowFrames;
    std::atomic<int> torn{0};
    TestPlatform platform;
    testsupport::TestHost host;
    CustomApplication::TarvexInterface sdk;

    platform.SetObserver([&](const TestPlatform::Message& message) {
        for (const auto& child : message.children) {
            if (message.category != 10 || child.command != 4 || child.payload.size() != 16) continue;
            PlatformServices::CANIPC::Message record;
            std::memcpy(&record, child.payload.data(), sizeof record);
            if (record.Identifier < kFirstRow || record.Identifier >= kFirstRow + kRows) continue;
            rowFrames.Add();
            bool whole = record.Length <= 8;
            for (int i = 0; whole && i < record.Length; ++i) whole = record.Data[i] == record.Length;
            if (!whole) torn.fetch_add(1);
        }
    });
    ASSERT_EQ(sdk.Init(kAddress, host.Table(), 0), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));

    Receiver receiver;
    std::vector<CANReceiveTableEntry> receive;
    for (std::uint32_t identifier = 0x100; identifier < 0x110; ++identifier) {
        receive.push_back({identifier, 0x7FF, Standard, &Receiver::Callback, &receiver});
    }
    receive.push_back({0x000, 0x700, Standard, &Receiver::Callback, &receiver});  // 0x000 to 0x0FF
    const unsigned char eights[8] = {8, 8, 8, 8, 8, 8, 8, 8};
    CANTransmitTableEntry transmit[kRows] = {
        {eights, 8, kFirstRow + 0, Standard, 1},
        {eights, 8, kFirstRow + 1, Standard, 2},
        {eights, 8, kFirstRow + 2, Standard, 0},
        {eights, 8, kFirstRow + 3, Standard, 0},
    };
    const int uid = sdk.CANInit(CANBus(1), receive.data(), static_cast<int>(receive.size()), transmit, kRows);
    ASSERT_EQ(uid, 1);

    std::atomic<bool> stop{false};
    std::thread injector([&] {
        for (int i = 0; i < kFrames && !stop.load(); ++i) {
            const std::uint8_t bus = static_cast<std::uint8_t>(1 + i % 2);
            if (platform.Send(kAddress, 10, 1, FrameRecord(0x0F8 + static_cast<std::uint32_t>(i % 24), bus,
                                                           static_cast<std::uint8_t>(i))) != 0) {
                break;  // the connection is gone
            }
        }
    });

    // Bus 2 is set up while its frames stream in; two threads race for bus 3.
    int uidBus2 = 0;
    int bus3Results[2] = {0, 0};
    std::int32_t catchAll = 0;
    std::thread initialiser([&] {
        receiver.Await(50, 20'000);
        std::vector<CANReceiveTableEntry> rows{{0x100, 0x7F0, Standard, &Receiver::Callback, &receiver}};
        uidBus2 = sdk.CANInit(CANBus(2), rows.data(), 1, transmit, kRows);
        catchAll = sdk.CANRegisterReceiveAllMessages(CANBus(2), Standard, &Receiver::Callback, &receiver);
        std::thread other([&] { bus3Results[1] = sdk.CANInit(CANBus(3), rows.data(), 1, transmit, 1); });
        bus3Results[0] = sdk.CANInit(CANBus(3), rows.data(), 1, transmit, 1);
        other.join();
    });

    std::thread updater([&] {
        unsigned char data[8];
        for (int i = 0; i < 20'000 && !stop.load(); ++i) {
            const unsigned char length = static_cast<unsigned char>(i % 9);
            std::memset(data, length, sizeof data);
            const std::int32_t result = sdk.CANUpdateMessageData(uid, i % kRows, data, length);
            if (result == -2 || result == -13) break;  // shut down
            EXPECT_EQ(result, 0);
        }
    });
    std::thread sender([&] {
        for (int i = 0; i < 20'000 && !stop.load(); ++i) {
            const std::int32_t result = sdk.CANSendMessage(uid, i % kRows);
            // Shut down; a send that Shutdown's close overtook reports its
            // failed write.
            if (result == -2 || result == -13 || result == -32 || result == -107) break;
            EXPECT_EQ(result, 0);
        }
    });

    // The set-up of buses 2 and 3 ends before the shutdown, so that the race
    // for bus 3 is between the two calls alone.
    initialiser.join();
    EXPECT_TRUE(receiver.Await(kShutdownAfter, 30'000));
    EXPECT_TRUE(rowFrames.Await(100, 30'000));
    sdk.Shutdown();
    receiver.shutdownReturned.store(true);
    stop.store(true);
    injector.join();
    updater.join();
    sender.join();

    EXPECT_EQ(receiver.late.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(uidBus2, 2);
    EXPECT_EQ(catchAll, 0);
    EXPECT_TRUE((bus3Results[0] == 3 && bus3Results[1] == -17) || (bus3Results[1] == 3 && bus3Results[0] == -17))
        << bus3Results[0] << " " << bus3Results[1];
    EXPECT_EQ(sdk.CANSendMessage(uid, 0), -13);
}

}  // namespace
