// The EEPROM component alone, driven through a fake message sink that
// records each request and answers it at once.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <future>
#include <vector>

#include "FakeClock.h"
#include "eeprom/VirtualEEPROM.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using CustomApplication::Internal::VirtualEEPROM;

struct Sent {
    std::int32_t category, address, command;
    Bytes payload;
};

class FakeSink final : public CustomApplication::MessageSink {
public:
    int Send(std::int32_t category, std::int32_t address, std::int32_t command, const void* data,
             std::size_t length) override {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        sent.push_back({category, address, command, bytes ? Bytes(bytes, bytes + length) : Bytes{}});
        if (answer) answer(command);
        return 0;
    }
    bool Connected() const override { return connected; }
    std::uint32_t Connection() const override { return connection; }

    bool connected = true;
    std::uint32_t connection = 1;
    std::vector<Sent> sent;
    std::function<void(std::int32_t)> answer;
};

Bytes Ints(std::initializer_list<std::int32_t> values, std::size_t size) {
    Bytes bytes(size, 0);
    std::size_t offset = 0;
    for (const std::int32_t value : values) {
        std::memcpy(&bytes[offset], &value, 4);
        offset += 4;
    }
    return bytes;
}

TEST(VirtualEEPROMComponent, RequestsGoOutWholeAndRepliesOfTheirKindAnswerThem) {
    FakeSink sink;
    VirtualEEPROM eeprom(sink);
    sink.answer = [&](std::int32_t command) {
        if (command == 3) {
            const Bytes reply = Ints({16, 2, 0}, 12);
            eeprom.HandleReply(4, reply.data(), reply.size());
        } else if (command == 1) {
            Bytes reply = Ints({16, 2, 0}, 1036);
            reply[12] = 0xAB;
            reply[13] = 0xCD;
            eeprom.HandleReply(2, reply.data(), reply.size());
        } else {
            const Bytes reply = Ints({7}, 4);
            eeprom.HandleReply(8, reply.data(), reply.size());  // a save answer, whatever was asked
        }
    };
    const unsigned char data[2] = {0xAB, 0xCD};
    EXPECT_EQ(eeprom.Write(16, data, 2), 0);
    unsigned char read[4] = {};
    EXPECT_EQ(eeprom.Read(16, read, 2), 0);
    EXPECT_EQ(read[0], 0xAB);
    EXPECT_EQ(read[1], 0xCD);
    EXPECT_EQ(read[2], 0);
    EXPECT_EQ(eeprom.Save(), 7);
    EXPECT_EQ(eeprom.Destroy(), -131);

    ASSERT_EQ(sink.sent.size(), 4u);
    EXPECT_EQ(sink.sent[0].category, 22);
    EXPECT_EQ(sink.sent[0].address, 22);
    EXPECT_EQ(sink.sent[0].command, 3);
    ASSERT_EQ(sink.sent[0].payload.size(), 8u + 1024u);
    EXPECT_EQ(Bytes(sink.sent[0].payload.begin(), sink.sent[0].payload.begin() + 10),
              (Bytes{16, 0, 0, 0, 2, 0, 0, 0, 0xAB, 0xCD}));
    EXPECT_EQ(sink.sent[1].command, 1);
    EXPECT_EQ(sink.sent[1].payload, (Bytes{16, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(sink.sent[2].command, 7);
    EXPECT_TRUE(sink.sent[2].payload.empty());
    EXPECT_EQ(sink.sent[3].command, 9);
}

// An answer that comes after its operation gave up is never another's: it
// is dropped and counted by kind, and an operation whose answer could not be
// told from it (same kind, and for a read or write the same address) is
// refused until it came or the connection was made anew.
TEST(VirtualEEPROMComponent, AnAnswerLateForAGivenUpOperationIsDroppedAndCounted) {
    testsupport::FakeClock clock;
    const testsupport::ScopedClock installed(clock);
    FakeSink sink;
    VirtualEEPROM eeprom(sink);
    const auto unanswered = [&](const std::function<std::int32_t()>& operation) {
        sink.answer = nullptr;
        const std::size_t waits = clock.WaitsBegun().size();
        auto result = std::async(std::launch::async, operation);
        EXPECT_TRUE(clock.AwaitWaits(waits + 1));
        clock.Advance(500);
        return result.get();
    };
    const auto reply = [&](std::int32_t command, const Bytes& bytes) {
        eeprom.HandleReply(command, bytes.data(), bytes.size());
    };

    ASSERT_EQ(unanswered([&] { return eeprom.Save(); }), -110);
    EXPECT_EQ(eeprom.Save(), -114);
    EXPECT_EQ(sink.sent.size(), 1u);  // refused before anything was sent
    reply(8, Ints({0}, 4));           // the late success of the first save
    EXPECT_EQ(eeprom.LateAnswers(3), 1u);
    sink.answer = [&](std::int32_t) { reply(8, Ints({-5}, 4)); };
    EXPECT_EQ(eeprom.Save(), -5);

    // A read of another address is sent; the late answer of the first read,
    // coming while it waits, is dropped and the second gets its own.
    unsigned char bytes[2] = {};
    ASSERT_EQ(unanswered([&] { return eeprom.Read(4, bytes, 2); }), -110);
    EXPECT_EQ(eeprom.Read(4, bytes, 2), -114);
    sink.answer = [&](std::int32_t) {
        Bytes late = Ints({4, 2, 0}, 1036);
        late[12] = 0x44;
        reply(2, late);
        Bytes own = Ints({8, 2, 0}, 1036);
        own[12] = 0x88;
        reply(2, own);
    };
    EXPECT_EQ(eeprom.Read(8, bytes, 2), 0);
    EXPECT_EQ(bytes[0], 0x88);
    EXPECT_EQ(eeprom.LateAnswers(0), 1u);

    // No answer crosses into a new connection: an owed state query stops
    // holding up the next once the connection was made anew.
    EXPECT_EQ(unanswered([&] { return eeprom.GetState(); }), VirtualEEPROM::kStateUnknown);
    sink.answer = [&](std::int32_t) { reply(6, Ints({1}, 4)); };
    EXPECT_EQ(eeprom.GetState(), VirtualEEPROM::kStateUnknown);  // refused: the first's answer may come
    ++sink.connection;
    EXPECT_EQ(eeprom.GetState(), 1);
}

TEST(VirtualEEPROMComponent, WithoutAConnectionNothingIsSentAndTheCallFailsAtOnce) {
    FakeSink sink;
    sink.connected = false;
    VirtualEEPROM eeprom(sink);
    EXPECT_EQ(eeprom.Save(), -107);
    EXPECT_EQ(eeprom.GetState(), VirtualEEPROM::kStateUnknown);
    EXPECT_TRUE(sink.sent.empty());
}

}  // namespace
