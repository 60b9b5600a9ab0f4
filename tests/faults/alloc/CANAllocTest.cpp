// CAN operations with one allocation failing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "AllocFaultSupport.h"
#include "can/CANIPC.h"

using namespace allocfault;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::Extended;
using CustomApplication::CANTypes::FrameType;
using CustomApplication::CANTypes::Standard;
using CustomApplication::CoreTypes::CANBus;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::int32_t kCategoryCAN = 10;
constexpr std::int32_t kAddSubscription = 2;
constexpr std::int32_t kSendFrame = 4;

// Identifiers of the frames a catch-all callback received.
class FrameSink {
public:
    static void Callback(void* context, CANBus, unsigned int identifier, FrameType, const unsigned char*,
                         unsigned char) {
        auto* sink = static_cast<FrameSink*>(context);
        {
            std::lock_guard<std::mutex> guard(sink->lock_);
            sink->identifiers_.push_back(identifier);
        }
        sink->changed_.notify_all();
    }
    bool Await(std::size_t count) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return identifiers_.size() >= count; });
    }
    std::vector<unsigned int> Identifiers() const {
        std::lock_guard<std::mutex> guard(lock_);
        return identifiers_;
    }

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<unsigned int> identifiers_;
};

Bytes SubscriptionBytes(std::uint8_t bus, std::uint32_t identifier, std::uint32_t mask) {
    PlatformServices::CANIPC::AddSubscriptionData data{};
    data.Bus = bus;
    data.Identifier = identifier;
    data.Mask = mask;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&data);
    return Bytes(bytes, bytes + sizeof data);
}

// The payloads of the sent children with `command`.
std::vector<Bytes> Payloads(const std::vector<testsupport::TestPlatform::Child>& children, std::int32_t command) {
    std::vector<Bytes> payloads;
    for (const auto& child : children) {
        if (child.command == command) payloads.push_back(child.payload);
    }
    return payloads;
}

// The data bytes of a sent frame record.
Bytes FrameData(const Bytes& record) {
    PlatformServices::CANIPC::Message message{};
    if (record.size() != sizeof message) return Bytes{0xFF};
    std::memcpy(&message, record.data(), sizeof message);
    return Bytes(message.Data, message.Data + message.Length);
}

class CANAllocFixture : public AllocFixture {
protected:
    // Sends row `index` of `uid` and returns the data bytes that went out.
    Bytes SentRowData(std::int32_t uid, std::int32_t index) {
        EXPECT_EQ(sdk.CANSendMessage(uid, index), 0);
        const std::vector<Bytes> frames = Payloads(Sent(kCategoryCAN), kSendFrame);
        return frames.empty() ? Bytes{0xFF} : FrameData(frames.back());
    }

    const unsigned char payload[4] = {1, 2, 3, 4};
    CANReceiveTableEntry receive[2] = {
        {0x300, 0x7FF, Standard, nullptr, nullptr},
        {0x18FEF100, 0x1FFFFFFF, Extended, nullptr, nullptr},
    };
    CANTransmitTableEntry transmit[2] = {
        {payload, 4, 0x200, Standard, 0},
        {nullptr, 0, 0x201, Standard, 0},
    };
    const std::vector<Bytes> subscriptions = {SubscriptionBytes(1, 0x300, 0x7FF),
                                              SubscriptionBytes(1, 0x18FEF100, 0x1FFFFFFF)};
};

// CANInit with its nth allocation failing, one process per n.
class CANInitFailing : public CANAllocFixture, public FailurePoint {
public:
    static constexpr long kBound = 26;
    std::int32_t Create() { return sdk.CANInit(CANBus(1), receive, 2, transmit, 2); }
};

TEST_P(CANInitFailing, LeavesNothingBehindOrAnInterfaceThatWorks) {
    const Outcome first = CallFailing(N(), [&] { return Create(); });
    ASSERT_FALSE(first.escaped);
    if (first.result < 0) {
        EXPECT_TRUE(first.injected);
        EXPECT_EQ(first.result, -12);
        // No interface, no subscription, no uid: the bus is free and the
        // retry gets uid 1 and sends every subscription once.
        EXPECT_EQ(sdk.CANSendMessage(1, 0), -2);
        EXPECT_TRUE(Payloads(Sent(kCategoryCAN), kAddSubscription).empty());
        ASSERT_EQ(Create(), 1);
        EXPECT_EQ(Payloads(Sent(kCategoryCAN), kAddSubscription), subscriptions);
    } else {
        EXPECT_EQ(first.result, 1);
        const std::vector<Bytes> sent = Payloads(Sent(kCategoryCAN), kAddSubscription);
        if (first.injected) {
            // A subscription write that could not be made is not reported.
            EXPECT_EQ(sent.size() + 1, subscriptions.size());
            for (const Bytes& one : sent) EXPECT_NE(std::find(subscriptions.begin(), subscriptions.end(), one),
                                                    subscriptions.end());
        } else {
            EXPECT_EQ(sent, subscriptions);
        }
    }
    EXPECT_EQ(sdk.CANInit(CANBus(1), receive, 0, transmit, 0), -17);
    EXPECT_EQ(SentRowData(1, 0), Bytes(payload, payload + 4));
    EXPECT_EQ(SentRowData(1, 1), Bytes{});
    if (N() == kBound) {
        EXPECT_FALSE(first.injected) << "raise kBound past CANInit's last allocation";
    }
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, CANInitFailing, ::testing::Range(1L, CANInitFailing::kBound + 1),
                         PointName);

// CANRegisterReceiveAllMessages with its nth allocation failing.
class CANReceiveAllFailing : public CANAllocFixture, public FailurePoint {
public:
    static constexpr long kBound = 8;
    void SetUp() override {
        CANAllocFixture::SetUp();
        ASSERT_EQ(sdk.CANInit(CANBus(1), receive, 0, transmit, 0), 1);
        // A catch-all of the other bus already registered.
        ASSERT_EQ(sdk.CANInit(CANBus(2), receive, 0, transmit, 0), 2);
        ASSERT_EQ(sdk.CANRegisterReceiveAllMessages(CANBus(2), Standard, &FrameSink::Callback, &other), 0);
        ASSERT_EQ(Payloads(Sent(kCategoryCAN), kAddSubscription), std::vector<Bytes>{SubscriptionBytes(2, 0, 0)});
    }
    std::int32_t Register() {
        return sdk.CANRegisterReceiveAllMessages(CANBus(1), Standard, &FrameSink::Callback, &sink);
    }
    // Sends a standard frame on bus 1 from the platform and waits for the sink.
    void ExpectDelivered(unsigned int identifier) {
        PlatformServices::CANIPC::Message frame{};
        frame.Identifier = identifier;
        frame.Bus = 1;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&frame);
        const std::size_t before = sink.Identifiers().size();
        ASSERT_EQ(platform.Send(kAddress, kCategoryCAN, 1, Bytes(bytes, bytes + sizeof frame)), 0);
        ASSERT_TRUE(sink.Await(before + 1));
        EXPECT_EQ(sink.Identifiers().back(), identifier);
    }

    FrameSink sink;
    FrameSink other;
};

TEST_P(CANReceiveAllFailing, RegistersOnceOrNotAtAll) {
    const Outcome first = CallFailing(N(), [&] { return Register(); });
    ASSERT_FALSE(first.escaped);
    const std::vector<Bytes> everything{SubscriptionBytes(2, 0, 0), SubscriptionBytes(1, 0, 0)};
    if (first.result < 0) {
        EXPECT_TRUE(first.injected);
        EXPECT_EQ(first.result, -12);
        EXPECT_EQ(Payloads(Sent(kCategoryCAN), kAddSubscription), std::vector<Bytes>{everything[0]});
        // Nothing was kept: the registration can be made now.
        ASSERT_EQ(Register(), 0);
        EXPECT_EQ(Payloads(Sent(kCategoryCAN), kAddSubscription), everything);
    } else {
        EXPECT_EQ(first.result, 0);
        // A subscription write that could not be made is not reported.
        EXPECT_EQ(Payloads(Sent(kCategoryCAN), kAddSubscription),
                  first.injected ? std::vector<Bytes>{everything[0]} : everything);
    }
    EXPECT_EQ(Register(), -114);
    ExpectDelivered(0x123);
    EXPECT_TRUE(other.Identifiers().empty());
    if (N() == kBound) {
        EXPECT_FALSE(first.injected) << "raise kBound past the call's last allocation";
    }
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, CANReceiveAllFailing,
                         ::testing::Range(1L, CANReceiveAllFailing::kBound + 1),
                         PointName);

// A payload update that needs a larger buffer and cannot get one leaves the
// row without payload: it sends empty frames until an update succeeds.
TEST_F(CANAllocFixture, UpdateThatCannotEnlargeLeavesTheRowEmptyUntilTheNextUpdate) {
    ASSERT_EQ(sdk.CANInit(CANBus(0), receive, 0, transmit, 1), 1);
    const Bytes small{0xA1, 0xA2};
    const Bytes large{0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6};
    const long points = ForEachFailurePoint([&](long n) {
        EXPECT_EQ(sdk.CANUpdateMessageData(1, 0, small.data(), 2), 0);
        const Outcome update = CallFailing(n, [&] { return sdk.CANUpdateMessageData(1, 0, large.data(), 6); });
        EXPECT_FALSE(update.escaped);
        if (update.injected) {
            EXPECT_EQ(update.result, -12);
            EXPECT_EQ(SentRowData(1, 0), Bytes{});
            // The row holds no payload now: an empty update is refused.
            EXPECT_EQ(sdk.CANUpdateMessageData(1, 0, small.data(), 0), -22);
        } else {
            EXPECT_EQ(update.result, 0);
            EXPECT_EQ(SentRowData(1, 0), large);
        }
        return update.injected;
    });
    EXPECT_EQ(points, 1);
    // A payload no longer than the current one reuses its buffer.
    const Outcome shorter = CallFailing(1, [&] { return sdk.CANUpdateMessageData(1, 0, small.data(), 2); });
    EXPECT_FALSE(shorter.injected);
    EXPECT_EQ(shorter.result, 0);
    EXPECT_EQ(SentRowData(1, 0), small);
}

}  // namespace
