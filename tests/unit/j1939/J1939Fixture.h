#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "CoreFixture.h"

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

// An initialised instance against a test platform that, unless told
// otherwise, answers every CA-list request: request 10 with every CA that a
// command 6 asked for so far (plus `extraPresent`), request 12 with `staticList`.
class J1939Fixture : public testsupport::CoreFixture {
protected:
    struct Answers {
        bool answer = true;
        bool reportCreated = true;  // answer 10 with the CAs that command 6 asked for
        bool onlyLatest = false;    // ... with the latest of them only
        Bytes created;            // pairs from command 6, in order
        Bytes extraPresent;
        Bytes staticList;
    };
    // Shared with the observer, which may still run on the platform's thread
    // while the fixture is torn down.
    struct AnswerState {
        std::mutex lock;
        Answers answers;
    };

    void SetUp() override {
        platform.SetObserver([state = answerState, server = &platform](const testsupport::TestPlatform::Message& m) {
            Observe(*state, *server, m);
        });
        ASSERT_EQ(InitApp(), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
        // The service loop has made its first pass and waits 200 ms; the
        // fake clock keeps it there until a test advances it.
        ASSERT_TRUE(clock.AwaitWaits(1));
    }

    // No callback into the sink runs once Shutdown has returned.
    void TearDown() override { sdk.Shutdown(); }

    template <typename Change>
    void SetAnswers(Change change) {
        std::lock_guard<std::mutex> guard(answerState->lock);
        change(answerState->answers);
    }

    // The child commands and payloads of category 13 that the library sent, in order.
    std::vector<testsupport::TestPlatform::Child> Sent() const {
        std::vector<testsupport::TestPlatform::Child> children;
        for (const auto& message : platform.Messages()) {
            if (message.category != 13 || message.destination != 13) continue;
            children.insert(children.end(), message.children.begin(), message.children.end());
        }
        return children;
    }
    std::vector<std::int32_t> SentCommands() const {
        std::vector<std::int32_t> commands;
        for (const auto& child : Sent()) commands.push_back(child.command);
        return commands;
    }
    std::size_t SentCount() const { return platform.Messages().size(); }

    std::int32_t Create(CANBus bus, std::uint8_t address, std::vector<J1939ReceiveTableEntry> rx = {},
                        std::vector<J1939TransmitTableEntry> tx = {}) {
        rx.reserve(1);
        tx.reserve(1);
        return sdk.J1939CreateCA(bus, address, &name, rx.data(), static_cast<std::int32_t>(rx.size()), tx.data(),
                                 static_cast<std::int32_t>(tx.size()));
    }
    std::int32_t Attach(CANBus bus, std::vector<J1939ReceiveTableEntry> rx = {},
                        std::vector<J1939TransmitTableEntry> tx = {}) {
        rx.reserve(1);
        tx.reserve(1);
        return sdk.J1939AttachToPlatformCA(bus, rx.data(), static_cast<std::int32_t>(rx.size()), tx.data(),
                                           static_cast<std::int32_t>(tx.size()));
    }

    // Hands one child to the J1939 handler on the calling thread, as the
    // listener would.
    void Deliver(const Bytes& payload, std::int32_t command = 5) {
        PlatformServices::QRVMessage::ChildList children;
        children.push_back(std::make_unique<PlatformServices::QRVMessage>(PlatformServices::QRVMessage::kTypeChild,
                                                                          0, 0));
        children.back()->Build(command, payload.size(), payload.data(), false);
        Private().J1939IPCHandler(children, 254);
    }

    J1939Name name{1, 2, 3, 4, 0x12345, 0x2ab, 0x81, 5, 6};
    Sink sink;
    std::shared_ptr<AnswerState> answerState = std::make_shared<AnswerState>();

private:
    static void Observe(AnswerState& state, testsupport::TestPlatform& server,
                        const testsupport::TestPlatform::Message& message) {
        if (message.category != 13) return;
        for (const auto& child : message.children) {
            Bytes reply;
            std::int32_t command = 0;
            {
                std::lock_guard<std::mutex> guard(state.lock);
                Answers& answers = state.answers;
                if (child.command == 6 && child.payload.size() >= 2) {
                    answers.created.insert(answers.created.end(), child.payload.begin(), child.payload.begin() + 2);
                }
                if (child.command != 0 || child.payload.size() != 2 || !answers.answer) continue;
                const int request = child.payload[0] | (child.payload[1] << 8);
                if (request == 10) {
                    command = 10;
                    if (!answers.reportCreated) {
                    } else if (!answers.onlyLatest) {
                        reply = answers.created;
                    } else if (answers.created.size() >= 2) {
                        reply.assign(answers.created.end() - 2, answers.created.end());
                    }
                    reply.insert(reply.end(), answers.extraPresent.begin(), answers.extraPresent.end());
                } else if (request == 12) {
                    command = 12;
                    reply = answers.staticList;
                } else {
                    continue;
                }
            }
            server.Send(kAddress, 13, command, reply);
        }
    }
};

}  // namespace j1939test
