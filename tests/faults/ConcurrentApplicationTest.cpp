// Several application threads use one instance at once across buses: they
// send, update payloads, set up interfaces and replace catch-all callbacks
// while the platform streams CAN and J1708 frames and cyclic rows go out;
// another thread shuts the instance down in the middle of it. Bounded in
// count and time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "TestHost.h"
#include "TestPlatform.h"
#include "can/CANIPC.h"

using CustomApplication::CANTypes::CANMessage;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::FrameType;
using CustomApplication::CANTypes::Standard;
using CustomApplication::CoreTypes::CANBus;
using CustomApplication::J1708Types::J1708ReceiveTableEntry;
using CustomApplication::J1708Types::J1708TransmitTableEntry;
using testsupport::TestPlatform;

namespace {

constexpr std::int32_t kAddress = 100;
constexpr std::uint32_t kRow = 0x500;
constexpr int kRounds = 400;

struct Tally {
    std::atomic<int> delivered{0};
    std::atomic<bool> shutdownReturned{false};
    std::atomic<int> late{0};
    std::atomic<int> unexpectedResults{0};
    std::atomic<int> lastUnexpected{0};  // operation * 1000 - result

    void Note() {
        if (shutdownReturned.load()) late.fetch_add(1);
        delivered.fetch_add(1);
    }
    // A result outside `allowed` is counted.
    void Expect(int operation, std::int32_t result, std::initializer_list<std::int32_t> allowed) {
        for (std::int32_t ok : allowed) {
            if (result == ok) return;
        }
        unexpectedResults.fetch_add(1);
        lastUnexpected.store(operation * 1000 - result);
    }
    static void CAN(void* context, CANBus, unsigned int, FrameType, const unsigned char* data, unsigned char length) {
        unsigned sum = 0;
        for (unsigned char i = 0; i < length; ++i) sum += data[i];
        (void)sum;
        static_cast<Tally*>(context)->Note();
    }
    static void J1708(void* context, unsigned char, unsigned char, unsigned char, const unsigned char* data,
                      unsigned char length) {
        unsigned sum = 0;
        for (unsigned char i = 0; i < length; ++i) sum += data[i];
        (void)sum;
        static_cast<Tally*>(context)->Note();
    }
};

std::vector<std::uint8_t> CANRecord(std::uint32_t identifier, std::uint8_t bus) {
    PlatformServices::CANIPC::Message record{};
    record.Identifier = identifier;
    record.Bus = bus;
    record.Length = 8;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof record);
}

std::vector<std::uint8_t> J1708Record(std::uint8_t mid) {
    // Priority, count, then MID, two data bytes and the checksum.
    const std::uint8_t sum = static_cast<std::uint8_t>(mid + 1 + 2);
    return {0, 8, 4, mid, 1, 2, static_cast<std::uint8_t>(-sum)};
}

TEST(ConcurrentApplication, ThreadsSendUpdateAndRegisterAcrossBusesWhileFramesStreamAndShutdownComes) {
    Tally tally;
    std::atomic<int> torn{0};
    std::atomic<int> rowFrames{0};
    TestPlatform platform;
    testsupport::TestHost host;
    platform.SetObserver([&](const TestPlatform::Message& message) {
        for (const auto& child : message.children) {
            if (message.category != 10 || child.command != 4 || child.payload.size() != 16) continue;
            PlatformServices::CANIPC::Message record;
            std::memcpy(&record, child.payload.data(), sizeof record);
            if (record.Identifier != kRow) continue;
            rowFrames.fetch_add(1);
            // Every update writes L bytes of value L: a frame mixes two updates
            // if any byte differs.
            bool whole = record.Length <= 8;
            for (int i = 0; whole && i < record.Length; ++i) whole = record.Data[i] == record.Length;
            if (!whole) torn.fetch_add(1);
        }
    });
    CustomApplication::TarvexInterface sdk;
    ASSERT_EQ(sdk.Init(kAddress, host.Table(), 0), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));

    CANReceiveTableEntry canRows[] = {{0x100, 0x700, Standard, &Tally::CAN, &tally}};
    const unsigned char eights[8] = {8, 8, 8, 8, 8, 8, 8, 8};
    CANTransmitTableEntry canTransmit[] = {{eights, 8, kRow, Standard, 1}};
    ASSERT_EQ(sdk.CANInit(CANBus(1), canRows, 1, canTransmit, 1), 1);
    J1708ReceiveTableEntry j1708Rows[] = {{128, &Tally::J1708, &tally}};
    const unsigned char fours[4] = {4, 4, 4, 4};
    J1708TransmitTableEntry j1708Transmit[] = {{fours, 4, 172, 2, 8}};
    ASSERT_EQ(sdk.J1708Init(j1708Rows, 1, j1708Transmit, 1), 0);

    std::atomic<bool> stop{false};
    std::thread injector([&] {
        for (int i = 0; i < 20'000 && !stop.load(); ++i) {
            const int sent = i % 3 == 2 ? platform.Send(kAddress, 20, 2, J1708Record(i % 2 ? 128 : 150))
                                        : platform.Send(kAddress, 10, 1, CANRecord(0x100 + i % 32, 1 + i % 2));
            if (sent != 0) break;  // the connection is gone
        }
    });

    std::vector<std::thread> workers;
    // CAN: payload updates and sends on request of the row, free frames.
    workers.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            const unsigned char length = static_cast<unsigned char>(1 + i % 8);
            unsigned char data[8];
            std::memset(data, length, sizeof data);
            tally.Expect(1, sdk.CANUpdateMessageData(1, 0, data, length), {0, -2, -13});
            // A send that Shutdown's close overtakes reports its failed write.
            tally.Expect(2, sdk.CANSendMessage(1, 0), {0, -2, -13, -5, -32, -107});
            CANMessage frame{CANBus(2), 0x700, Standard, 8, {1, 2, 3, 4, 5, 6, 7, 8}};
            tally.Expect(3, sdk.CANSendMessage(&frame), {0, -5, -13, -32, -107});
        }
    });
    // J1708: updates and sends of the row, free messages.
    workers.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            const unsigned char data[3] = {1, 2, 3};
            tally.Expect(4, sdk.J1708UpdateMessageData(0, data, static_cast<unsigned char>(1 + i % 3)), {0, -2, -13});
            tally.Expect(5, sdk.J1708SendMessage(0), {0, -2, -13, -5, -32, -107});
        }
    });
    // Registrations: interfaces on further buses, catch-alls replaced.
    workers.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (i < 3) {
                CANReceiveTableEntry rows[] = {{0x100, 0x7F0, Standard, &Tally::CAN, &tally}};
                const std::int32_t uid = sdk.CANInit(CANBus(2 + i), rows, 1, canTransmit, 1);
                if (uid < 0) tally.Expect(6, uid, {-2, -13});
            }
            tally.Expect(7, sdk.CANRegisterReceiveAllMessages(CANBus(1), Standard, &Tally::CAN, &tally), {0, -1, -114});
            sdk.J1708RegisterReceiveAllMessages(i % 2 ? &Tally::J1708 : nullptr, &tally);
        }
    });

    // Shutdown comes while all of that runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // Both streams must be under way: frames delivered and row frames sent.
    while ((tally.delivered.load() < 200 || rowFrames.load() < 50) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    auto shutdown = std::async(std::launch::async, [&] {
        sdk.Shutdown();
        tally.shutdownReturned.store(true);
    });
    ASSERT_EQ(shutdown.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    for (auto& worker : workers) worker.join();
    stop.store(true);
    injector.join();

    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(tally.late.load(), 0);
    EXPECT_EQ(tally.unexpectedResults.load(), 0) << "last: operation " << tally.lastUnexpected.load() / 1000
                                                 << ", result " << -(tally.lastUnexpected.load() % 1000);
    EXPECT_GT(rowFrames.load(), 0);
}

}  // namespace
