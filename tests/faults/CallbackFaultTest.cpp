// Applications that misbehave in their callbacks, and an instance destroyed
// while the platform streams frames at it and its cyclic rows are due.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "CoreFixture.h"
#include "can/CANIPC.h"

using CustomApplication::CANTypes::CANMessage;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::FrameType;
using CustomApplication::CANTypes::Standard;
using CustomApplication::CoreTypes::CANBus;
using testsupport::TestPlatform;

namespace {

constexpr std::int32_t kAddress = 100;
constexpr int kRealBoundMs = 20'000;

std::vector<std::uint8_t> CANRecord(std::uint32_t identifier, std::uint8_t bus, std::uint32_t sequence) {
    PlatformServices::CANIPC::Message record{};
    record.Identifier = identifier;
    record.Bus = bus;
    record.Length = 8;
    std::memcpy(record.Data, &sequence, sizeof sequence);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof record);
}

std::uint32_t SequenceOf(const unsigned char* data) {
    std::uint32_t sequence;
    std::memcpy(&sequence, data, sizeof sequence);
    return sequence;
}

// Frames of one identifier that the platform saw the application send.
class SentCounter {
public:
    void Observe(const TestPlatform::Message& message, std::uint32_t identifier) {
        for (const auto& child : message.children) {
            if (message.category != 10 || child.command != 4 || child.payload.size() != 16) continue;
            PlatformServices::CANIPC::Message record;
            std::memcpy(&record, child.payload.data(), sizeof record);
            if (record.Identifier != identifier) continue;
            std::lock_guard<std::mutex> guard(lock_);
            ++count_;
            changed_.notify_all();
        }
    }
    int Count() const {
        std::lock_guard<std::mutex> guard(lock_);
        return count_;
    }
    bool Await(int atLeast, int realTimeoutMs = kRealBoundMs) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] { return count_ >= atLeast; });
    }

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    int count_ = 0;
};

// A receive callback whose first call blocks until the test releases it.
struct BlockingReceiver {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::uint32_t> sequences;
    bool released = false;
    std::promise<void> entered;
    std::atomic<bool> shutdownReturned{false};
    std::atomic<int> late{0};

    static void Callback(void* context, CANBus, unsigned int, FrameType, const unsigned char* data,
                         unsigned char length) {
        auto* self = static_cast<BlockingReceiver*>(context);
        if (self->shutdownReturned.load()) self->late.fetch_add(1);
        std::unique_lock<std::mutex> guard(self->lock);
        self->sequences.push_back(length >= 4 ? SequenceOf(data) : 0xFFFFFFFF);
        self->changed.notify_all();
        if (self->sequences.size() == 1) {
            self->entered.set_value();
            self->changed.wait_for(guard, std::chrono::milliseconds(60'000), [self] { return self->released; });
        }
    }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(lock);
            released = true;
        }
        changed.notify_all();
    }
    bool Await(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kRealBoundMs),
                                [&] { return sequences.size() >= count; });
    }
    std::vector<std::uint32_t> Sequences() {
        std::lock_guard<std::mutex> guard(lock);
        return sequences;
    }
};

class BlockingCallback : public testsupport::CoreFixture {
protected:
    static constexpr std::uint32_t kCyclicRow = 0x321;
    static constexpr std::uint32_t kFreeFrame = 0x444;
    static constexpr int kFrames = 200;

    void SetUp() override {
        platform.SetObserver([this](const TestPlatform::Message& message) {
            cyclic.Observe(message, kCyclicRow);
            freeFrames.Observe(message, kFreeFrame);
        });
        ASSERT_EQ(InitApp(), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
        CANReceiveTableEntry rows[] = {{0x100, 0x700, Standard, &BlockingReceiver::Callback, &receiver}};
        const unsigned char payload[8] = {};
        CANTransmitTableEntry transmit[] = {{payload, 8, kCyclicRow, Standard, 10}};
        ASSERT_GT(sdk.CANInit(CANBus(1), rows, 1, transmit, 1), 0);
        for (int i = 0; i < kFrames; ++i) {
            ASSERT_EQ(platform.Send(kAddress, 10, 1, CANRecord(0x100 + i % 16, 1, static_cast<std::uint32_t>(i))), 0);
        }
        ASSERT_EQ(receiver.entered.get_future().wait_for(std::chrono::milliseconds(kRealBoundMs)),
                  std::future_status::ready);
    }

    BlockingReceiver receiver;
    SentCounter cyclic;
    SentCounter freeFrames;
};

TEST_F(BlockingCallback, HoldsOnlyTheListenerAndLosesNoFrame) {
    // While the callback blocks, the application's threads still send and
    // the service loop still sends the cyclic row as its clock moves on.
    std::thread sender([this] {
        CANMessage frame{CANBus(1), kFreeFrame, Standard, 8, {1, 2, 3, 4, 5, 6, 7, 8}};
        for (int i = 0; i < 20; ++i) EXPECT_EQ(sdk.CANSendMessage(&frame), 0);
    });
    sender.join();
    EXPECT_TRUE(freeFrames.Await(20));
    // The clock moves on in periods until three more cyclic frames went out
    // (bounded: the service loop may not be waiting yet when the clock moves).
    const int cyclicBefore = cyclic.Count();
    for (int step = 0; step < 400 && !cyclic.Await(cyclicBefore + 3, 25); ++step) clock.Advance(10);
    EXPECT_GE(cyclic.Count(), cyclicBefore + 3);
    EXPECT_EQ(receiver.Sequences().size(), 1u);  // still inside the first call

    receiver.Release();
    ASSERT_TRUE(receiver.Await(kFrames));
    std::vector<std::uint32_t> expected(kFrames);
    for (int i = 0; i < kFrames; ++i) expected[i] = static_cast<std::uint32_t>(i);
    EXPECT_EQ(receiver.Sequences(), expected);  // every frame once, in order
}

TEST_F(BlockingCallback, ShutdownFromAnotherThreadWaitsForItAndNoCallbackStartsAfter) {
    auto shutdown = std::async(std::launch::async, [this] {
        sdk.Shutdown();
        receiver.shutdownReturned.store(true);
    });
    // Shutdown cannot end the blocked call; releasing it lets Shutdown end,
    // and the frames still queued are not delivered after it returned.
    receiver.Release();
    ASSERT_EQ(shutdown.wait_for(std::chrono::milliseconds(kRealBoundMs)), std::future_status::ready);
    EXPECT_EQ(receiver.late.load(), 0);
    EXPECT_TRUE(platform.AwaitClientGone(kAddress));
}

// Counts deliveries; notes any that starts after the destructor returned.
struct StreamReceiver {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
    std::atomic<bool> destroyed{false};
    std::atomic<int> late{0};

    static void CAN(void* context, CANBus, unsigned int, FrameType, const unsigned char* data, unsigned char length) {
        auto* self = static_cast<StreamReceiver*>(context);
        if (self->destroyed.load()) self->late.fetch_add(1);
        unsigned sum = 0;
        for (unsigned char i = 0; i < length; ++i) sum += data[i];
        (void)sum;
        std::lock_guard<std::mutex> guard(self->lock);
        ++self->count;
        self->changed.notify_all();
    }
    static void J1708(void* context, unsigned char, unsigned char, unsigned char, const unsigned char*,
                      unsigned char) {
        auto* self = static_cast<StreamReceiver*>(context);
        if (self->destroyed.load()) self->late.fetch_add(1);
    }
    bool Await(int atLeast) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kRealBoundMs), [&] { return count >= atLeast; });
    }
};

TEST(Teardown, DestroyedWhileFramesStreamInAndCyclicRowsAreDue) {
    // The real clock: the rows are due every few milliseconds.
    StreamReceiver receiver;
    SentCounter cyclic;
    TestPlatform platform;
    testsupport::TestHost host;
    platform.SetObserver([&](const TestPlatform::Message& message) { cyclic.Observe(message, 0x600); });
    auto sdk = std::make_unique<CustomApplication::TarvexInterface>();
    ASSERT_EQ(sdk->Init(kAddress, host.Table(), 0), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));

    CANReceiveTableEntry rows[] = {{0, 0, Standard, &StreamReceiver::CAN, &receiver}};
    const unsigned char payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CANTransmitTableEntry transmit[] = {{payload, 8, 0x600, Standard, 1}, {payload, 8, 0x601, Standard, 2}};
    ASSERT_GT(sdk->CANInit(CANBus(1), rows, 1, transmit, 2), 0);
    CustomApplication::J1708Types::J1708ReceiveTableEntry j1708Rows[] = {{128, &StreamReceiver::J1708, &receiver}};
    CustomApplication::J1708Types::J1708TransmitTableEntry j1708Transmit[] = {{payload, 4, 172, 1, 8}};
    ASSERT_EQ(sdk->J1708Init(j1708Rows, 1, j1708Transmit, 1), 0);

    // Batches of 32 frames per write, until the connection is gone or the
    // bound is reached.
    std::atomic<bool> stop{false};
    std::thread injector([&] {
        std::vector<std::uint8_t> batch;
        for (int i = 0; i < 32; ++i) {
            const auto frame = TestPlatform::Frame(10, 1, CANRecord(0x100 + i, 1, static_cast<std::uint32_t>(i)));
            batch.insert(batch.end(), frame.begin(), frame.end());
        }
        for (int i = 0; i < 20'000 && !stop.load(); ++i) {
            if (platform.SendRaw(kAddress, batch) != 0) break;
        }
    });

    EXPECT_TRUE(receiver.Await(2000));
    EXPECT_TRUE(cyclic.Await(10));
    auto destroyed = std::async(std::launch::async, [&] {
        sdk.reset();
        receiver.destroyed.store(true);
    });
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(kRealBoundMs)), std::future_status::ready);
    EXPECT_TRUE(platform.AwaitClientGone(kAddress));
    stop.store(true);
    injector.join();
    destroyed.get();
    EXPECT_EQ(receiver.late.load(), 0);
}

}  // namespace
