#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "CoreFixture.h"

using testsupport::CoreFixture;
using testsupport::TestPlatform;

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutInt(Bytes& bytes, std::size_t offset, std::int32_t value) { std::memcpy(&bytes[offset], &value, 4); }
std::int32_t GetInt(const Bytes& bytes, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, &bytes[offset], 4);
    return value;
}

Bytes ReadReply(std::uint32_t address, std::int32_t count, std::int32_t result, std::uint8_t fill) {
    Bytes reply(1036, 0);
    PutInt(reply, 0, static_cast<std::int32_t>(address));
    PutInt(reply, 4, count);
    PutInt(reply, 8, result);
    for (std::size_t i = 12; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(fill + i - 12);
    return reply;
}
Bytes WriteReply(std::int32_t result, std::uint32_t address = 0, std::int32_t count = 0) {
    Bytes reply(12, 0);
    PutInt(reply, 0, static_cast<std::int32_t>(address));
    PutInt(reply, 4, count);
    PutInt(reply, 8, result);
    return reply;
}
Bytes Value(std::int32_t value) {
    Bytes reply(4, 0);
    PutInt(reply, 0, value);
    return reply;
}

struct Reply {
    std::int32_t command;
    Bytes payload;
};

class EEPROM : public CoreFixture {
protected:
    void Start(std::int32_t mode = 0) {
        ASSERT_EQ(InitApp(mode), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
    }

    // Answers every category-22 request with what `answer` returns for it.
    void Answer(std::function<Reply(const TestPlatform::Child&)> answer) {
        platform.SetObserver([this, answer](const TestPlatform::Message& message) {
            if (message.category != 22 || message.children.size() != 1) return;
            const Reply reply = answer(message.children[0]);
            platform.Send(kAddress, 22, reply.command, reply.payload, 22);
        });
    }

    // The category-22 requests sent so far.
    std::vector<TestPlatform::Child> Requests() const {
        std::vector<TestPlatform::Child> requests;
        for (const auto& message : platform.Messages()) {
            EXPECT_EQ(message.category, 22);
            EXPECT_EQ(message.destination, 22);
            for (const auto& child : message.children) requests.push_back(child);
        }
        return requests;
    }

    // Runs `operation` on another thread, lets its reply (if any) be
    // dispatched, then runs the clock past the 500 ms time-out.
    std::int32_t TimedOut(std::function<std::int32_t()> operation, std::size_t repliesDispatched) {
        auto result = std::async(std::launch::async, operation);
        EXPECT_TRUE(platform.AwaitMessages(1));
        EXPECT_TRUE(host.AwaitEvents(2 * repliesDispatched));
        // The service loop's wait and the operation's.
        EXPECT_TRUE(clock.AwaitWaits(2, 2));
        clock.Advance(500);
        return result.get();
    }
};

TEST_F(EEPROM, EachOperationSendsItsRequestAndReturnsThePlatformsResult) {
    Start();
    Answer([](const TestPlatform::Child& request) -> Reply {
        switch (request.command) {
            case 1:
                return {2, ReadReply(0x01020304, 3, 0, 0x40)};
            case 3:
                return {4, WriteReply(-5, 0x10)};
            case 5:
                return {6, Value(3)};
            case 7:
                return {8, Value(0)};
            default:
                return {10, Value(-7)};
        }
    });
    unsigned char buffer[3] = {};
    EXPECT_EQ(sdk.EEPROMRead(0x01020304, buffer, 3), 0);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x40, 0x41, 0x42}));
    const unsigned char data[5] = {9, 8, 7, 6, 5};
    EXPECT_EQ(sdk.EEPROMWrite(0x10, data, 5), -5);
    EXPECT_EQ(sdk.EEPROMGetState(), 3);
    EXPECT_EQ(sdk.EEPROMSave(), 0);
    EXPECT_EQ(sdk.EEPROMDestroy(), -7);

    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].command, 1);
    EXPECT_EQ(requests[0].payload, (Bytes{0x04, 0x03, 0x02, 0x01, 3, 0, 0, 0}));
    EXPECT_EQ(requests[1].command, 3);
    Bytes write(1032, 0);
    PutInt(write, 0, 0x10);
    PutInt(write, 4, 5);
    std::memcpy(&write[8], data, 5);
    EXPECT_EQ(requests[1].payload, write);
    for (std::size_t i = 2; i < 5; ++i) {
        EXPECT_EQ(requests[i].command, static_cast<std::int32_t>(2 * i + 1));
        EXPECT_TRUE(requests[i].payload.empty());
    }
}

TEST_F(EEPROM, WriteArgumentsAreCheckedBeforeAnythingIsSent) {
    Start();
    Answer([](const TestPlatform::Child& request) { return Reply{4, WriteReply(0, 0, GetInt(request.payload, 4))}; });
    std::vector<unsigned char> data(1025, 0xAB);
    EXPECT_EQ(sdk.EEPROMWrite(0, data.data(), 1025), -22);
    EXPECT_EQ(sdk.EEPROMWrite(0, data.data(), -1), -22);
    EXPECT_EQ(sdk.EEPROMWrite(0, nullptr, 0), -22);
    EXPECT_EQ(sdk.EEPROMRead(0, nullptr, 4), -22);
    EXPECT_TRUE(platform.Messages().empty());
    EXPECT_EQ(sdk.EEPROMWrite(0, data.data(), 1024), 0);
    EXPECT_EQ(sdk.EEPROMWrite(0, data.data(), 0), 0);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].payload.size(), 1032u);
    EXPECT_EQ(requests[0].payload[8 + 1023], 0xAB);
    EXPECT_EQ(requests[1].payload, Bytes(1032, 0));
}

TEST_F(EEPROM, AReadSucceedsOnlyWithEveryByteAskedFor) {
    Start();
    std::int32_t count = 0;
    std::int32_t result = 0;
    Answer([&](const TestPlatform::Child&) { return Reply{2, ReadReply(0, count, result, 1)}; });
    std::vector<unsigned char> buffer(1100, 0xEE);
    auto untouchedFrom = [&](std::size_t from) {
        return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.end(),
                           [](unsigned char byte) { return byte == 0xEE; });
    };

    count = 8;
    EXPECT_EQ(sdk.EEPROMRead(0, buffer.data(), 8), 0);
    EXPECT_EQ(buffer[7], 8);
    EXPECT_TRUE(untouchedFrom(8));

    // A success with fewer or more bytes than asked for, or more than one
    // reply carries, is not the answer asked for: nothing is copied.
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    for (const auto& [asked, answered] : {std::pair{8, 2}, std::pair{8, 2000}, std::pair{1100, 1100},
                                          std::pair{-1, -1}}) {
        count = answered;
        EXPECT_EQ(sdk.EEPROMRead(0, buffer.data(), asked), -131) << asked << " answered with " << answered;
    }
    count = 8;
    result = -5;
    EXPECT_EQ(sdk.EEPROMRead(0, buffer.data(), 8), -5);
    EXPECT_TRUE(untouchedFrom(0));
}

TEST_F(EEPROM, StatesOutOfRangeAreUnknown) {
    Start();
    Reply next{};
    Answer([&](const TestPlatform::Child&) { return next; });
    next = {6, Value(7)};
    EXPECT_EQ(sdk.EEPROMGetState(), 5);
    next = {6, Value(-1)};
    EXPECT_EQ(sdk.EEPROMGetState(), 5);
    next = {6, Value(4)};
    EXPECT_EQ(sdk.EEPROMGetState(), 4);
}

// A reply that does not answer the request in flight (another kind, another
// address, or one that comes after its own request timed out) is dropped:
// the wait goes on for the reply that does, and with none the call fails
// at its deadline with -131.
TEST_F(EEPROM, AReplyAnswersOnlyTheRequestItMatches) {
    Start();
    unsigned char buffer[4] = {};
    Answer([](const TestPlatform::Child&) { return Reply{10, Value(0)}; });
    EXPECT_EQ(TimedOut([&] { return sdk.EEPROMSave(); }, 1), -131);

    // The late reply to a read of address 4 comes before the one to the
    // read of address 8 that follows: the second read gets its own data.
    Answer([this](const TestPlatform::Child&) {
        platform.Send(kAddress, 22, 2, ReadReply(4, 4, 0, 0x40), 22);
        return Reply{2, ReadReply(8, 4, 0, 0x80)};
    });
    EXPECT_EQ(sdk.EEPROMRead(8, buffer, 4), 0);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x80, 0x81, 0x82, 0x83}));
}

// The time-out bounds the whole call: a caller that waits for its turn
// behind another gives up at its own deadline, not one time-out later.
TEST_F(EEPROM, TheTimeOutBoundsTheWaitForTheTurnToo) {
    Start();
    auto first = std::async(std::launch::async, [&] { return sdk.EEPROMSave(); });
    ASSERT_TRUE(platform.AwaitMessages(1));
    auto second = std::async(std::launch::async, [&] { return sdk.EEPROMDestroy(); });
    // The service loop's wait, the first call's and the second's turn.
    ASSERT_TRUE(clock.AwaitWaits(3, 3));
    clock.Advance(500);
    EXPECT_EQ(first.get(), -110);
    EXPECT_EQ(second.get(), -110);
    EXPECT_EQ(platform.Messages().size(), 1u);  // the second never got to send
}

// Turns are first come, first served: a thread that asks again at once
// queues behind one that was already waiting.
TEST_F(EEPROM, AWaitingRequestGoesBeforeTheNextOfTheThreadThatHeldTheTurn) {
    Start();
    auto first = std::async(std::launch::async, [&] {
        const std::int32_t saved = sdk.EEPROMSave();
        return saved != 0 ? saved : sdk.EEPROMDestroy();
    });
    ASSERT_TRUE(platform.AwaitMessages(1));
    unsigned char buffer[4] = {};
    auto second = std::async(std::launch::async, [&] { return sdk.EEPROMRead(4, buffer, 4); });
    ASSERT_TRUE(clock.AwaitWaits(3, 3));  // the service loop, the save, the read's turn
    // Each request is answered as it comes, whatever its order.
    for (std::size_t count = 1; count <= 3; ++count) {
        ASSERT_TRUE(platform.AwaitMessages(count));
        const std::int32_t command = Requests().back().command;
        ASSERT_EQ(platform.Send(kAddress, 22, command + 1, command == 1 ? ReadReply(4, 4, 0, 0x40) : Value(0), 22), 0);
    }
    EXPECT_EQ(second.get(), 0);
    EXPECT_EQ(first.get(), 0);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].command, 7);
    EXPECT_EQ(requests[1].command, 1);
    EXPECT_EQ(requests[2].command, 9);
}

// A reply that arrived is returned, also when the platform closes the
// connection right after it.
TEST_F(EEPROM, AReplyFollowedByTheConnectionsEndIsReturned) {
    Start();
    platform.SetObserver([this](const TestPlatform::Message& message) {
        if (message.category != 22) return;
        platform.Send(kAddress, 22, 8, Value(0), 22);
        platform.Server().Disconnect(kAddress);
    });
    EXPECT_EQ(sdk.EEPROMSave(), 0);
}

struct OffByOne {
    const char* name;
    std::int32_t replyCommand;
    std::size_t replyBytes;
};
void PrintTo(const OffByOne& param, std::ostream* out) { *out << param.name; }

class EEPROMReplyLength : public EEPROM, public ::testing::WithParamInterface<OffByOne> {};

TEST_P(EEPROMReplyLength, IsIgnoredAndTheOperationTimesOut) {
    Start();
    const OffByOne param = GetParam();
    Answer([param](const TestPlatform::Child&) { return Reply{param.replyCommand, Bytes(param.replyBytes, 0)}; });
    unsigned char buffer[4] = {};
    std::function<std::int32_t()> operation;
    std::int32_t expected = -110;
    switch (param.replyCommand) {
        case 2:
            operation = [&] { return sdk.EEPROMRead(0, buffer, 4); };
            break;
        case 4:
            operation = [&] { return sdk.EEPROMWrite(0, buffer, 4); };
            break;
        case 6:
            operation = [&] { return sdk.EEPROMGetState(); };
            expected = 5;
            break;
        case 8:
            operation = [&] { return sdk.EEPROMSave(); };
            break;
        default:
            operation = [&] { return sdk.EEPROMDestroy(); };
            break;
    }
    EXPECT_EQ(TimedOut(operation, 1), expected);
}

INSTANTIATE_TEST_SUITE_P(EveryReply, EEPROMReplyLength,
                         ::testing::Values(OffByOne{"Read1035", 2, 1035}, OffByOne{"Read1037", 2, 1037},
                                           OffByOne{"Write11", 4, 11}, OffByOne{"Write13", 4, 13},
                                           OffByOne{"State3", 6, 3}, OffByOne{"State5", 6, 5},
                                           OffByOne{"Save3", 8, 3}, OffByOne{"Save5", 8, 5},
                                           OffByOne{"Destroy3", 10, 3}, OffByOne{"Destroy5", 10, 5}),
                         [](const ::testing::TestParamInfo<OffByOne>& info) { return info.param.name; });

TEST_F(EEPROM, EveryOperationIsRefusedInPlugInMode) {
    Start(1);
    unsigned char buffer[4] = {};
    EXPECT_EQ(sdk.EEPROMRead(0, buffer, 4), -13);
    EXPECT_EQ(sdk.EEPROMWrite(0, buffer, 4), -13);
    EXPECT_EQ(sdk.EEPROMGetState(), 5);
    EXPECT_EQ(sdk.EEPROMSave(), -13);
    EXPECT_EQ(sdk.EEPROMDestroy(), -13);
    EXPECT_TRUE(platform.Messages().empty());
}

TEST_F(EEPROM, ANonRespondingPlatformGivesATimeOut) {
    Start();
    EXPECT_EQ(TimedOut([&] { return sdk.EEPROMSave(); }, 0), -110);
    const auto waits = clock.WaitsBegun();
    EXPECT_EQ(std::count(waits.begin(), waits.begin() + 2, 500), 1);
}

// The listener thread would have to take the reply it waits for: every
// blocking operation called from a callback fails at once, sending nothing.
std::function<void()> onFrame;
void CallOnFrame(void*, unsigned char, unsigned char, unsigned char, const unsigned char*, unsigned char) {
    onFrame();
}

TEST_F(EEPROM, AnOperationOnTheListenerThreadFailsAtOnce) {
    Start();
    Answer([](const TestPlatform::Child&) { return Reply{8, Value(0)}; });
    std::promise<std::vector<std::int32_t>> results;
    onFrame = [&] {
        unsigned char buffer[4] = {};
        results.set_value({sdk.EEPROMRead(0, buffer, 4), sdk.EEPROMWrite(0, buffer, 4), sdk.EEPROMSave(),
                           sdk.EEPROMDestroy(), sdk.EEPROMGetState()});
    };
    sdk.J1708RegisterReceiveAllMessages(&CallOnFrame, nullptr);
    const std::size_t before = platform.Messages().size();
    ASSERT_EQ(platform.Send(kAddress, 20, 2, Bytes{0, 0, 2, 0x10, 0x10}), 0);
    auto future = results.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);  // no clock advance needed
    EXPECT_EQ(future.get(), (std::vector<std::int32_t>{-35, -35, -35, -35, 5}));
    EXPECT_STREQ(CustomApplication::TarvexInterface::ResultCodeText(-35),
                 "CalledFromCallback: called from a callback: would wait on itself");
    // Nothing was asked; the application's own threads go on as before.
    EXPECT_EQ(sdk.EEPROMSave(), 0);
    EXPECT_EQ(platform.Messages().size(), before + 1);
}

TEST_F(EEPROM, TwoThreadsEachGetTheirOwnReplies) {
    Start();
    // Every read answers with bytes derived from its address.
    Answer([](const TestPlatform::Child& request) {
        const auto address = static_cast<std::uint32_t>(GetInt(request.payload, 0));
        return Reply{2, ReadReply(address, 8, 0, static_cast<std::uint8_t>(address))};
    });
    auto reader = [&](std::uint32_t base) {
        int wrong = 0;
        for (std::uint32_t i = 0; i < 50; ++i) {
            unsigned char buffer[8] = {};
            const std::uint32_t address = base + i;
            if (sdk.EEPROMRead(address, buffer, 8) != 0 || buffer[0] != static_cast<std::uint8_t>(address) ||
                buffer[7] != static_cast<std::uint8_t>(address + 7)) {
                ++wrong;
            }
        }
        return wrong;
    };
    auto first = std::async(std::launch::async, reader, 0u);
    auto second = std::async(std::launch::async, reader, 100u);
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.get(), 0);
    EXPECT_EQ(Requests().size(), 100u);
}

}  // namespace
