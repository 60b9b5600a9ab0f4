// J1939 operations with one allocation failing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "AllocFaultSupport.h"
#include "j1939/J1939IPC.h"

using namespace allocfault;
using CustomApplication::CoreTypes::CANBus;
using CustomApplication::J1939Types::J1939Name;
using CustomApplication::J1939Types::J1939ReceiveTableEntry;
using CustomApplication::J1939Types::J1939TransmitTableEntry;
using Bytes = std::vector<std::uint8_t>;
namespace IPC = PlatformServices::J1939IPC;

namespace {

constexpr std::int32_t kCategoryJ1939 = 13;
constexpr CANBus kBus = CANBus(2);
constexpr std::uint8_t kIPCBus = 2;
constexpr std::uint8_t kStaticAddress = 0x42;

// Contexts of the receive callbacks called, in order.
class Sink {
public:
    static void Callback(void* context, CANBus, unsigned int, unsigned char, unsigned char, unsigned char,
                         const unsigned char*, unsigned short) {
        auto* tag = static_cast<Tag*>(context);
        {
            std::lock_guard<std::mutex> guard(tag->sink->lock_);
            tag->sink->calls_.push_back(tag->value);
        }
        tag->sink->changed_.notify_all();
    }
    void* Context(long value) {
        tags_.push_back(std::make_unique<Tag>(Tag{this, value}));
        return tags_.back().get();
    }
    bool Await(std::size_t count) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return calls_.size() >= count; });
    }
    std::vector<long> Calls() const {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }

private:
    struct Tag {
        Sink* sink;
        long value;
    };
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<long> calls_;
    std::vector<std::unique_ptr<Tag>> tags_;  // touched by the test's thread only
};

template <typename Record>
Bytes Image(const Record& record, std::size_t length = sizeof(Record)) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    return Bytes(bytes, bytes + length);
}

Bytes SubscriptionBytes(IPC::J1939SubscriptionModesIPC mode, std::uint32_t pgn, std::uint8_t source) {
    IPC::J1939SubscriptionIPC record{};
    record.Bus = kIPCBus;
    record.Mode = mode;
    record.PGN = pgn;
    record.SourceAddress = source;
    return Image(record);
}

// The sorted payloads of the children with `command`.
std::vector<Bytes> Payloads(const std::vector<testsupport::TestPlatform::Child>& children, std::int32_t command) {
    std::vector<Bytes> payloads;
    for (const auto& child : children) {
        if (child.command == command) payloads.push_back(child.payload);
    }
    std::sort(payloads.begin(), payloads.end());
    return payloads;
}

// A platform that reports present every CA that a command 6 asked for, and
// one static CA on bus 2.
class J1939AllocFixture : public AllocFixture {
protected:
    struct Created {
        std::mutex lock;
        Bytes pairs;
    };

    void SetUp() override {
        platform.SetObserver([created = created_, server = &platform](const testsupport::TestPlatform::Message& m) {
            Answer(*created, *server, m);
        });
        AllocFixture::SetUp();
    }

    std::int32_t Create(std::uint8_t address) {
        return sdk.J1939CreateCA(kBus, address, &name, receive, 2, transmit, 1);
    }
    std::int32_t Attach() { return sdk.J1939AttachToPlatformCA(kBus, receive, 2, transmit, 1); }

    // The subscriptions sent so far.
    std::vector<Bytes> Subscriptions() { return Payloads(Sent(kCategoryJ1939), IPC::CommandSubscribe); }

    // Sends row `index` of `uid`; returns the source address and data bytes that went out.
    std::pair<std::uint8_t, Bytes> SentRow(std::int32_t uid, std::int32_t index) {
        EXPECT_EQ(sdk.J1939SendMessage(uid, index), 0);
        std::pair<std::uint8_t, Bytes> row{0, Bytes{0xFF}};
        for (const auto& child : Sent(kCategoryJ1939)) {
            if (child.command != IPC::CommandSendMessage || child.payload.size() < IPC::kSendHeaderBytes) continue;
            std::uint16_t length = 0;
            std::memcpy(&length, &child.payload[8], sizeof length);
            row = {child.payload[1], Bytes(child.payload.begin() + IPC::kSendHeaderBytes, child.payload.end())};
            if (row.second.size() != length) row.second = Bytes{0xFF};
        }
        return row;
    }

    // Sends a message from the platform to the CA at `address` and waits
    // until a callback of `sink` took it.
    void Deliver(std::uint8_t address) {
        Bytes record(IPC::kReceiveHeaderBytes, 0);
        record[0] = kIPCBus;
        record[1] = 0x55;  // the sender
        record[2] = address;
        const std::uint32_t pgn = 0xEF00;  // no receive row takes it
        std::memcpy(&record[4], &pgn, sizeof pgn);
        const std::size_t before = sink.Calls().size();
        ASSERT_EQ(platform.Send(kAddress, kCategoryJ1939, IPC::CommandReceivedMessage, record), 0);
        ASSERT_TRUE(sink.Await(before + 1));
    }

    J1939Name name{1, 2, 3, 4, 0x12345, 0x2ab, 0x81, 5, 6};
    const unsigned char payload[3] = {7, 8, 9};
    J1939ReceiveTableEntry receive[2] = {
        {0xFEF1, 0, 0, nullptr, nullptr},
        {0, 0x21, 1, nullptr, nullptr},
    };
    J1939TransmitTableEntry transmit[1] = {{payload, 3, 0xFF10, 0, 6, 0xFF}};
    // Sorted, as Subscriptions() gives them.
    const std::vector<Bytes> subscriptions = [] {
        std::vector<Bytes> both{SubscriptionBytes(IPC::SubscribeSourceAddress, 0, 0x21),
                                SubscriptionBytes(IPC::SubscribePGN, 0xFEF1, 0)};
        std::sort(both.begin(), both.end());
        return both;
    }();
    Sink sink;

private:
    static void Answer(Created& created, testsupport::TestPlatform& server,
                       const testsupport::TestPlatform::Message& message) {
        if (message.category != kCategoryJ1939) return;
        for (const auto& child : message.children) {
            Bytes reply;
            std::int32_t command = 0;
            {
                std::lock_guard<std::mutex> guard(created.lock);
                if (child.command == IPC::CommandCreateController && child.payload.size() >= 2) {
                    created.pairs.insert(created.pairs.end(), child.payload.begin(), child.payload.begin() + 2);
                }
                if (child.command != IPC::CommandRequest || child.payload.size() != 2) continue;
                if (child.payload[0] == 10) {
                    command = IPC::CommandCAList;
                    reply = created.pairs;
                } else if (child.payload[0] == 12) {
                    command = IPC::CommandStaticCAList;
                    reply = Bytes{kIPCBus, kStaticAddress};
                } else {
                    continue;
                }
            }
            server.Send(kAddress, kCategoryJ1939, command, reply);
        }
    }

    std::shared_ptr<Created> created_ = std::make_shared<Created>();
};

// J1939CreateCA (attach: false) or J1939AttachToPlatformCA (true) with its
// nth allocation failing, one process per n. (The creation messages that
// went out before a failure stay sent, as after a time-out.)
class CAFailing : public J1939AllocFixture, public FailurePoint {
public:
    static constexpr long kBound = 32;
    std::int32_t Make(bool attach) { return attach ? Attach() : Create(0x30); }
    void Check(bool attach);
};

void CAFailing::Check(bool attach) {
    const std::uint8_t address = attach ? kStaticAddress : 0x30;
    const Outcome first = CallFailing(N(), [&] { return Make(attach); });
    ASSERT_FALSE(first.escaped);
    unsigned char found = 0;
    if (first.result < 0) {
        EXPECT_TRUE(first.injected);
        EXPECT_EQ(first.result, -12);
        // No CA, no subscription, no uid used.
        EXPECT_EQ(sdk.J1939GetSourceAddressFromCA(1, &found), -2);
        EXPECT_TRUE(Subscriptions().empty());
        ASSERT_EQ(Make(attach), 1);
        EXPECT_EQ(Subscriptions(), subscriptions);
    } else {
        EXPECT_EQ(first.result, 1);
        const std::vector<Bytes> sent = Subscriptions();
        if (first.injected) {
            // A subscription write that could not be made is not reported.
            EXPECT_EQ(sent.size() + 1, subscriptions.size());
            for (const Bytes& one : sent) {
                EXPECT_NE(std::find(subscriptions.begin(), subscriptions.end(), one), subscriptions.end());
            }
        } else {
            EXPECT_EQ(sent, subscriptions);
        }
    }
    EXPECT_EQ(sdk.J1939GetSourceAddressFromCA(1, &found), 0);
    EXPECT_EQ(found, address);
    EXPECT_EQ(SentRow(1, 0), std::make_pair(address, Bytes(payload, payload + 3)));
    if (N() == kBound) {
        EXPECT_FALSE(first.injected) << "raise kBound past the call's last allocation";
    }
}

TEST_P(CAFailing, CreateLeavesNothingBehindOrACAThatWorks) { Check(false); }
TEST_P(CAFailing, AttachLeavesNothingBehindOrACAThatWorks) { Check(true); }

INSTANTIATE_TEST_SUITE_P(EachAllocation, CAFailing, ::testing::Range(1L, CAFailing::kBound + 1),
                         PointName);

// A payload update that needs a larger buffer and cannot get one leaves the
// row without payload: it sends empty messages until an update succeeds.
TEST_F(J1939AllocFixture, UpdateThatCannotEnlargeLeavesTheRowEmptyUntilTheNextUpdate) {
    ASSERT_EQ(Create(0x30), 1);
    const Bytes small{0xA1};
    const Bytes large{0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA};
    const long points = ForEachFailurePoint([&](long n) {
        EXPECT_EQ(sdk.J1939UpdateMessageData(1, 0, small.data(), 1), 0);
        const Outcome update = CallFailing(n, [&] { return sdk.J1939UpdateMessageData(1, 0, large.data(), 10); });
        EXPECT_FALSE(update.escaped);
        if (update.injected) {
            EXPECT_EQ(update.result, -12);
            EXPECT_EQ(SentRow(1, 0).second, Bytes{});
        } else {
            EXPECT_EQ(update.result, 0);
            EXPECT_EQ(SentRow(1, 0).second, large);
        }
        return update.injected;
    });
    EXPECT_EQ(points, 1);
    const Outcome shorter = CallFailing(1, [&] { return sdk.J1939UpdateMessageData(1, 0, small.data(), 1); });
    EXPECT_FALSE(shorter.injected);
    EXPECT_EQ(shorter.result, 0);
    EXPECT_EQ(SentRow(1, 0).second, small);
}

// A receive-all registration that cannot be made keeps the one before it.
TEST_F(J1939AllocFixture, ReceiveAllThatFailsKeepsThePreviousRegistration) {
    ASSERT_EQ(Create(0x30), 1);
    ASSERT_EQ(sdk.J1939RegisterReceiveAllMessages(1, &Sink::Callback, sink.Context(0)), 0);
    long registered = 0;
    const std::size_t subscribed = 1;
    const Bytes all = SubscriptionBytes(IPC::SubscribeAll, 0, 0);
    const long points = ForEachFailurePoint([&](long n) {
        void* context = sink.Context(n);
        const Outcome update =
            CallFailing(n, [&] { return sdk.J1939RegisterReceiveAllMessages(1, &Sink::Callback, context); });
        EXPECT_FALSE(update.escaped);
        if (update.result < 0) {
            EXPECT_TRUE(update.injected);
            EXPECT_EQ(update.result, -12);
        } else {
            EXPECT_EQ(update.result, 0);
            registered = n;
            // The platform holds the first registration's subscription: a
            // later one only replaces the callback.
        }
        const std::vector<Bytes> sent = Subscriptions();
        EXPECT_EQ(std::count(sent.begin(), sent.end(), all), static_cast<long>(subscribed));
        Deliver(0x30);
        EXPECT_EQ(sink.Calls().back(), registered);
        return update.injected;
    });
    EXPECT_GE(points, 1);
    EXPECT_EQ(registered, points + 1);
}

}  // namespace
