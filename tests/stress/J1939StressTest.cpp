// Many threads against one instance's J1939 subsystem: CAs are created while
// messages arrive, rows are sent and updated, receive-all callbacks are
// registered, and the instance is shut down in the middle of it all.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "TestHost.h"
#include "TestPlatform.h"

using CustomApplication::TarvexInterface;
using CustomApplication::CoreTypes::CANBus;
using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::J1939Types::J1939Message;
using CustomApplication::J1939Types::J1939Name;
using CustomApplication::J1939Types::J1939ReceiveTableEntry;
using CustomApplication::J1939Types::J1939TransmitTableEntry;
using testsupport::TestPlatform;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::int32_t kAddress = 100;
constexpr int kCAs = 12;
constexpr int kMessages = 20000;  // at most; the flood ends with the test
constexpr int kSendRounds = 5000;  // at most
// Neither side lets the other's socket fill: a write that finds it full for
// longer than its bound ends the connection, and under emulation on a busy
// machine either side may be held up that long.
constexpr int kInFlight = 32;
// The one cyclic row: the service thread's sends of it are not counted.
constexpr std::uint32_t kCyclicPgn = 0xFEF5;

std::uint32_t Pgn(const Bytes& sendRecord) {
    std::uint32_t pgn;
    std::memcpy(&pgn, &sendRecord[4], 4);
    return pgn;
}

struct Shared {
    TarvexInterface* sdk = nullptr;
    std::atomic<bool> shutdownReturned{false};
    std::atomic<int> delivered{0};
    std::atomic<int> late{0};
    std::atomic<int> created{0};
    std::atomic<int> injected{0};
    std::atomic<int> dispatched{0};   // messages the listener took up
    std::atomic<int> librarySent{0};  // sends the application made, cyclic rows aside
    std::mutex lock;
    std::condition_variable progress;

    void Progressed() {
        std::lock_guard<std::mutex> guard(lock);
        progress.notify_all();
    }
};

void OnMessage(void* context, CANBus, unsigned int, unsigned char, unsigned char, unsigned char,
               const unsigned char* data, unsigned short length) {
    auto* shared = static_cast<Shared*>(context);
    if (shared->shutdownReturned.load()) shared->late.fetch_add(1);
    volatile unsigned sum = 0;
    for (unsigned short i = 0; i < length; ++i) sum = sum + data[i];
    // A callback may send.
    if (shared->sdk->J1939SendMessage(1, 1) == 0) shared->librarySent.fetch_add(1);
    shared->delivered.fetch_add(1);
}

// Answers every request for the CAs present with every CA asked for so far.
// The answers go out from a thread of their own: the platform's I/O thread
// must keep reading while the application's listener is flooded, or both
// sides would wait for each other's writes.
struct PlatformState {
    std::mutex lock;
    std::condition_variable changed;
    Bytes created;
    std::vector<Bytes> replies;
    bool done = false;
    // Once the instance shuts down the platform writes no more (see below).
    std::mutex sendLock;
    bool silent = false;
    std::atomic<int> recorded{0};  // sends the platform read, cyclic ones aside
};

Bytes Record(std::uint8_t destination, std::uint32_t pgn, std::uint8_t length) {
    Bytes record(12 + length, 0x5a);
    record[0] = 1;
    record[1] = 0x20;
    record[2] = destination;
    record[3] = 6;
    std::memcpy(&record[4], &pgn, 4);
    record[8] = length;
    record[9] = 0;
    return record;
}

TEST(J1939Stress, DeliveriesSendsAndUpdatesDuringCreationAndShutdown) {
    TestPlatform platform;
    testsupport::TestHost host;
    TarvexInterface sdk;
    Shared shared;
    shared.sdk = &sdk;

    auto state = std::make_shared<PlatformState>();
    platform.SetObserver([state](const TestPlatform::Message& message) {
        if (message.category != 13) return;
        std::lock_guard<std::mutex> guard(state->lock);
        for (const auto& child : message.children) {
            if (child.command == 4 && child.payload.size() >= 8 && Pgn(child.payload) != kCyclicPgn) {
                state->recorded.fetch_add(1);
            }
            if (child.command == 6) {
                state->created.insert(state->created.end(), child.payload.begin(), child.payload.begin() + 2);
            }
            if (child.command == 0 && child.payload == Bytes{10, 0}) state->replies.push_back(state->created);
        }
        state->changed.notify_all();
    });
    std::thread responder([state, &platform] {
        std::unique_lock<std::mutex> guard(state->lock);
        for (;;) {
            state->changed.wait(guard, [&] { return state->done || !state->replies.empty(); });
            if (state->done) return;
            const Bytes reply = state->replies.front();
            state->replies.erase(state->replies.begin());
            guard.unlock();
            {
                std::lock_guard<std::mutex> sending(state->sendLock);
                if (!state->silent) platform.Send(kAddress, 13, 10, reply);
            }
            guard.lock();
        }
    });
    host.OnDispatchBegin([state, &shared] {
        if (shared.dispatched.fetch_add(1) % 16 != 0) return;
        std::lock_guard<std::mutex> guard(state->lock);
        state->changed.notify_all();
    });
    // Waits until at most kInFlight of the application's messages are unread
    // and `ready` holds, or `stop` is set.
    auto awaitRoom = [&](const std::atomic<bool>& stop, auto ready) {
        std::unique_lock<std::mutex> guard(state->lock);
        while (!stop.load() && (shared.librarySent.load() - state->recorded.load() > kInFlight || !ready())) {
            state->changed.wait_for(guard, std::chrono::milliseconds(100));
        }
    };
    ASSERT_EQ(sdk.Init(kAddress, host.Table(), 0), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));

    std::atomic<bool> stop{false};
    std::atomic<bool> stopInjecting{false};
    std::vector<std::int32_t> results;
    std::thread creator([&] {
        J1939Name name{};
        const Bytes payload(64, 0x11);
        for (int i = 0; i < kCAs && !stop.load(); ++i) {
            J1939ReceiveTableEntry rx[3] = {{0xFEF1, 0, 0, &OnMessage, &shared},
                                            {0, 0x20, 1, &OnMessage, &shared},
                                            {0xFEF2, 0x20, 2, nullptr, nullptr}};
            J1939TransmitTableEntry tx[2] = {{payload.data(), 8, kCyclicPgn, 50, 6, 0xff},
                                             {payload.data(), 64, 0xFEF6, 0, 6, 0x30}};
            const std::int32_t uid = sdk.J1939CreateCA(CANBus1, static_cast<unsigned char>(0x10 + i), &name, rx, 3,
                                                       tx, 2);
            results.push_back(uid);
            if (uid > 0) {
                sdk.J1939RegisterReceiveAllMessages(uid, &OnMessage, &shared);
                shared.created.fetch_add(1);
                shared.Progressed();
            }
        }
    });
    std::thread injector([&] {
        for (int i = 0; i < kMessages && !stopInjecting.load(); ++i) {
            // Each delivered message may make the callbacks of every CA send.
            awaitRoom(stopInjecting, [&] { return i - shared.dispatched.load() <= kInFlight / 16; });
            const std::uint8_t destination = (i % 3 == 0) ? 0xff : static_cast<std::uint8_t>(0x10 + i % kCAs);
            platform.Send(kAddress, 13, 5, Record(destination, (i % 2) ? 0xFEF1 : 0xFEF3, static_cast<std::uint8_t>(i % 9)));
            shared.injected.fetch_add(1);
            if (i % 64 == 0) shared.Progressed();
        }
        shared.Progressed();
    });
    std::thread sender([&] {
        J1939Message message{};
        message.Bus = CANBus1;
        message.SourceAddress = 0x10;
        message.PGN = 0xEF00;
        message.Length = 100;
        Bytes data(300, 0x22);
        for (int round = 0; round < kSendRounds && !stop.load(); ++round) {
            awaitRoom(stop, [] { return true; });
            for (int uid = 1; uid <= kCAs; ++uid) {
                if (sdk.J1939SendMessage(uid, round % 2) == 0 && round % 2 == 1) shared.librarySent.fetch_add(1);
                sdk.J1939UpdateMessageData(uid, 0, data.data(), 1 + (round * 7 + uid) % 300);
            }
            if (sdk.J1939SendMessage(&message) == 0) shared.librarySent.fetch_add(1);
        }
    });

    // Shut down while CAs are still being made and messages still arrive.
    {
        std::unique_lock<std::mutex> guard(shared.lock);
        shared.progress.wait_for(guard, std::chrono::seconds(20), [&] {
            return (shared.created.load() >= kCAs / 2 && shared.delivered.load() >= 100) ||
                   shared.injected.load() >= kMessages;
        });
    }
    // The platform stops writing here: a platform write that found the
    // connection shut would make the test platform drop the connection, and
    // with it what the library sent last. The listener is still working
    // through its backlog while the instance goes down, and a creation under
    // way gets no answer.
    stopInjecting.store(true);
    injector.join();
    {
        std::lock_guard<std::mutex> sending(state->sendLock);
        state->silent = true;
    }
    sdk.Shutdown();
    shared.shutdownReturned.store(true);
    const int deliveredAtShutdown = shared.delivered.load();
    stop.store(true);
    creator.join();
    sender.join();
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->done = true;
    }
    state->changed.notify_all();
    responder.join();

    EXPECT_EQ(shared.late.load(), 0);
    EXPECT_GT(deliveredAtShutdown, 0);
    EXPECT_EQ(shared.delivered.load(), deliveredAtShutdown);
    // Successful creations got consecutive uids. Under this load a reply can
    // take longer than 500 ms (-110), and a creation may then be answered by
    // the late reply to the one before (-131); after the shutdown a creation
    // is refused (-13), or its wait ends with the connection (-107).
    std::int32_t nextUid = 1;
    for (const std::int32_t result : results) {
        if (result > 0) {
            EXPECT_EQ(result, nextUid++);
        } else {
            EXPECT_TRUE(result == -13 || result == -110 || result == -131 || result == -107) << result;
        }
    }
    EXPECT_EQ(nextUid - 1, shared.created.load());
    // Every send and subscription reached the platform before the first withdrawal.
    ASSERT_TRUE(platform.AwaitClientGone(kAddress));
    const auto messages = platform.Messages();
    // A creation that failed withdraws its request at once (a remove of its
    // address); the shutdown removes the CAs that were made.
    const auto made = [&](std::uint8_t address) {
        const std::size_t index = static_cast<std::size_t>(address) - 0x10;
        return index < results.size() && results[index] > 0;
    };
    bool withdrawing = false;
    int removed = 0;
    for (const auto& message : messages) {
        if (message.category != 13) continue;  // the other buses withdraw too
        for (const auto& child : message.children) {
            const bool removesMade = child.command == 7 && child.payload.size() == 2 && made(child.payload[1]);
            if (child.command == 11 || removesMade) withdrawing = true;
            if (removesMade) ++removed;
            if (withdrawing) {
                EXPECT_TRUE(child.command != 3 && child.command != 4) << child.command;
            }
        }
    }
    EXPECT_EQ(removed, shared.created.load());

}

}  // namespace
