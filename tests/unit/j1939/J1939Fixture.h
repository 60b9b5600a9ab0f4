#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "CoreFixture.h"
#include "FakeSink.h"
#include "common/CyclicSchedule.h"
#include "j1939/J1939.h"

namespace j1939test {

using CustomApplication::CoreTypes::CANBus;
using CustomApplication::J1939Types::J1939Message;
using CustomApplication::J1939Types::J1939Name;
using CustomApplication::J1939Types::J1939ReceiveTableEntry;
using CustomApplication::J1939Types::J1939TransmitTableEntry;
using Bytes = std::vector<std::uint8_t>;

// One call of a receive callback.
struct Delivery {
    int tag;
    CANBus bus;
    unsigned int pgn;
    unsigned char source;
    unsigned char destination;
    unsigned char priority;
    Bytes data;
    bool operator==(const Delivery& other) const {
        return tag == other.tag && bus == other.bus && pgn == other.pgn && source == other.source &&
               destination == other.destination && priority == other.priority && data == other.data;
    }
};

// Collects deliveries from any thread. A callback's context is a Tag, which
// names the row or registration that was called.
class Sink {
public:
    struct Tag {
        Sink* sink;
        int tag;
    };

    static void Callback(void* context, CANBus bus, unsigned int pgn, unsigned char source, unsigned char destination,
                         unsigned char priority, const unsigned char* data, unsigned short length) {
        auto* tag = static_cast<Tag*>(context);
        tag->sink->Add(Delivery{tag->tag, bus, pgn, source, destination, priority, Bytes(data, data + length)});
    }

    // A context for `tag`; stays valid as long as the sink.
    void* Context(int tag) {
        std::lock_guard<std::mutex> guard(lock_);
        tags_.push_back(std::make_unique<Tag>(Tag{this, tag}));
        return tags_.back().get();
    }

    void Add(Delivery delivery) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            deliveries_.push_back(std::move(delivery));
        }
        changed_.notify_all();
    }
    std::vector<Delivery> Deliveries() const {
        std::lock_guard<std::mutex> guard(lock_);
        return deliveries_;
    }
    std::vector<int> Tags() const {
        std::vector<int> tags;
        for (const auto& delivery : Deliveries()) tags.push_back(delivery.tag);
        return tags;
    }
    bool Await(std::size_t count, int realTimeoutMs = 10'000) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(realTimeoutMs),
                                 [&] { return deliveries_.size() >= count; });
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        deliveries_.clear();
    }

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
    std::vector<std::unique_ptr<Tag>> tags_;
};

// A received-message record (child command 5) as the platform sends it.
inline Bytes ReceivedRecord(std::uint8_t bus, std::uint8_t source, std::uint8_t destination, std::uint32_t pgn,
                            const Bytes& data, std::uint8_t priority = 6) {
    Bytes record(12, 0);
    record[0] = bus;
    record[1] = source;
    record[2] = destination;
    record[3] = priority;
    std::memcpy(&record[4], &pgn, 4);
    const auto length = static_cast<std::uint16_t>(data.size());
    std::memcpy(&record[8], &length, 2);
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

inline J1939ReceiveTableEntry Row(std::int32_t mode, std::uint32_t pgn, std::uint8_t source, void* context,
                                  bool withCallback = true) {
    return J1939ReceiveTableEntry{pgn, source, mode, withCallback ? &Sink::Callback : nullptr, context};
}

inline J1939TransmitTableEntry TxRow(const Bytes& data, std::uint32_t pgn, std::int64_t period,
                                     std::uint8_t priority = 3, std::uint8_t destination = 0xff) {
    return J1939TransmitTableEntry{data.empty() ? nullptr : data.data(), static_cast<std::int32_t>(data.size()), pgn,
                                   period, priority, destination};
}

// What the test platform answers to the CA-list requests: request 10 with
// every CA that a command 6 asked for so far (plus `extraPresent`), request
// 12 with `staticList`.
struct Answers {
    bool answer = true;
    bool reportCreated = true;  // answer 10 with the CAs that command 6 asked for
    bool onlyLatest = false;    // ... with the latest of them only
    Bytes created;              // pairs from command 6, in order
    Bytes extraPresent;
    Bytes staticList;
};
// Shared with whoever answers, which may still run on the platform's thread
// while a fixture is torn down.
struct AnswerState {
    std::mutex lock;
    Answers answers;
};

// Notes a command 6 and returns the reply command (10 or 12) to a CA-list
// request with its payload in `*reply`, or 0 when nothing answers.
inline std::int32_t Answer(AnswerState& state, std::int32_t command, const Bytes& payload, Bytes* reply) {
    std::lock_guard<std::mutex> guard(state.lock);
    Answers& answers = state.answers;
    if (command == 6 && payload.size() >= 2) {
        answers.created.insert(answers.created.end(), payload.begin(), payload.begin() + 2);
    }
    if (command != 0 || payload.size() != 2 || !answers.answer) return 0;
    const int request = payload[0] | (payload[1] << 8);
    if (request == 12) {
        *reply = answers.staticList;
        return 12;
    }
    if (request != 10) return 0;
    if (!answers.reportCreated) {
    } else if (!answers.onlyLatest) {
        *reply = answers.created;
    } else if (answers.created.size() >= 2) {
        reply->assign(answers.created.end() - 2, answers.created.end());
    }
    reply->insert(reply->end(), answers.extraPresent.begin(), answers.extraPresent.end());
    return 10;
}

// Table helpers over a creation that both fixtures implement.
class CAMaker {
protected:
    virtual ~CAMaker() = default;
    virtual std::int32_t CreateCA(CANBus bus, std::uint8_t address, J1939ReceiveTableEntry* rx, int rxCount,
                                  J1939TransmitTableEntry* tx, int txCount, bool attach) = 0;

    std::int32_t Create(CANBus bus, std::uint8_t address, std::vector<J1939ReceiveTableEntry> rx = {},
                        std::vector<J1939TransmitTableEntry> tx = {}) {
        rx.reserve(1);
        tx.reserve(1);
        return CreateCA(bus, address, rx.data(), static_cast<int>(rx.size()), tx.data(), static_cast<int>(tx.size()),
                        false);
    }
    std::int32_t Attach(CANBus bus, std::vector<J1939ReceiveTableEntry> rx = {},
                        std::vector<J1939TransmitTableEntry> tx = {}) {
        rx.reserve(1);
        tx.reserve(1);
        return CreateCA(bus, 0, rx.data(), static_cast<int>(rx.size()), tx.data(), static_cast<int>(tx.size()), true);
    }
    template <typename Change>
    void SetAnswers(Change change) {
        std::lock_guard<std::mutex> guard(answerState->lock);
        change(answerState->answers);
    }

    J1939Name name{1, 2, 3, 4, 0x12345, 0x2ab, 0x81, 5, 6};
    Sink sink;
    std::shared_ptr<AnswerState> answerState = std::make_shared<AnswerState>();
};

// The J1939 component alone, over a recording sink that answers the CA-list
// requests at once, as the platform would, and the fake clock.
class J1939Component : public ::testing::Test, public CAMaker {
protected:
    J1939Component() {
        wire.onSend = [this](const testsupport::FakeSink::Sent& sent) {
            Bytes reply;
            const std::int32_t command = Answer(*answerState, sent.command, sent.payload, &reply);
            if (sent.category == 13 && command != 0) Deliver(reply, command);
        };
    }

    std::int32_t CreateCA(CANBus bus, std::uint8_t address, J1939ReceiveTableEntry* rx, int rxCount,
                          J1939TransmitTableEntry* tx, int txCount, bool attach) override {
        return j1939.Create(bus, address, attach ? nullptr : &name, rx, rxCount, tx, txCount, attach);
    }

    // The requests of category 13 to address 13 that the component sent, in order.
    std::vector<testsupport::FakeSink::Sent> Sent() const {
        std::vector<testsupport::FakeSink::Sent> sent;
        for (const auto& request : wire.sent) {
            if (request.category == 13 && request.address == 13) sent.push_back(request);
        }
        return sent;
    }
    std::vector<std::int32_t> SentCommands() const {
        std::vector<std::int32_t> commands;
        for (const auto& request : Sent()) commands.push_back(request.command);
        return commands;
    }
    std::size_t SentCount() const { return wire.sent.size(); }

    // Hands one child to the component on the calling thread, as the
    // listener would.
    void Deliver(const Bytes& payload, std::int32_t command = 5) {
        PlatformServices::QRVMessage::ChildList children;
        children.push_back(std::make_unique<PlatformServices::QRVMessage>(PlatformServices::QRVMessage::kTypeChild,
                                                                          0, 0));
        children.back()->Build(command, payload.size(), payload.data(), false);
        j1939.HandleMessages(children);
    }

    testsupport::FakeClock clock;
    testsupport::ScopedClock scopedClock{clock};
    testsupport::FakeSink wire;
    std::atomic<bool> stopRequested{false};
    CustomApplication::Internal::J1939 j1939{wire, stopRequested};
};

// An initialised instance against a test platform that answers as Answer
// says, unless told otherwise.
class J1939Fixture : public testsupport::CoreFixture, public CAMaker {
protected:
    void SetUp() override {
        platform.SetObserver([state = answerState, server = &platform](const testsupport::TestPlatform::Message& m) {
            if (m.category != 13) return;
            for (const auto& child : m.children) {
                Bytes reply;
                const std::int32_t command = Answer(*state, child.command, child.payload, &reply);
                if (command != 0) server->Send(kAddress, 13, command, reply);
            }
        });
        ASSERT_EQ(InitApp(), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
        // The service loop has made its first pass and waits 200 ms; the
        // fake clock keeps it there until a test advances it.
        ASSERT_TRUE(clock.AwaitWaits(1));
    }

    // No callback into the sink runs once Shutdown has returned.
    void TearDown() override { sdk.Shutdown(); }

    std::int32_t CreateCA(CANBus bus, std::uint8_t address, J1939ReceiveTableEntry* rx, int rxCount,
                          J1939TransmitTableEntry* tx, int txCount, bool attach) override {
        return attach ? sdk.J1939AttachToPlatformCA(bus, rx, rxCount, tx, txCount)
                      : sdk.J1939CreateCA(bus, address, &name, rx, rxCount, tx, txCount);
    }

    // The child commands of category 13 that the library sent, in order.
    std::vector<std::int32_t> SentCommands() const {
        std::vector<std::int32_t> commands;
        for (const auto& message : platform.Messages()) {
            if (message.category != 13 || message.destination != 13) continue;
            for (const auto& child : message.children) commands.push_back(child.command);
        }
        return commands;
    }
};

}  // namespace j1939test
