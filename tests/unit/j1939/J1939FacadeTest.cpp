// The J1939 operations through the facade, where the instance's threads take
// part: the listener thread's callbacks and the service loop.
#include <future>
#include <mutex>
#include <thread>

#include "J1939Fixture.h"

using namespace j1939test;
using CustomApplication::CoreTypes::CANBus1;
using CustomApplication::CoreTypes::CANBus2;

namespace {

class J1939Facade : public J1939Fixture {
protected:
    long CyclicSends() const {
        const auto commands = SentCommands();
        return std::count(commands.begin(), commands.end(), 4);
    }
};

struct ListenerCreation {
    CustomApplication::TarvexInterface* sdk;
    std::promise<std::int32_t> result;
};

void CreateFromCallback(void* context, CANBus, unsigned int, unsigned char, unsigned char, unsigned char,
                        const unsigned char*, unsigned short) {
    auto* state = static_cast<ListenerCreation*>(context);
    J1939Name name{};
    J1939ReceiveTableEntry rx[1];
    J1939TransmitTableEntry tx[1];
    state->result.set_value(state->sdk->J1939CreateCA(CANBus1, 0x42, &name, rx, 0, tx, 0));
}

TEST_F(J1939Facade, CreationOnTheListenerThreadFailsAtOnceAndSendsNothing) {
    ListenerCreation state{&sdk, {}};
    auto result = state.result.get_future();
    ASSERT_EQ(Create(CANBus1, 0x80, {{0xFEF1, 0, 0, &CreateFromCallback, &state}}), 1);
    ASSERT_TRUE(platform.AwaitMessages(4));

    ASSERT_EQ(platform.Send(kAddress, 13, 5, ReceivedRecord(1, 0x20, 0x80, 0xFEF1, {1})), 0);
    // Without waiting on the clock.
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), -35);
    // A creation on an application thread gets its own answer; the callback's sent nothing.
    EXPECT_EQ(Create(CANBus2, 0x81), 2);
    EXPECT_EQ(SentCommands(), (std::vector<std::int32_t>{1, 6, 0, 3, 1, 6, 0}));
}

// After a reconnection the CAs are asked for again; until the platform's
// list answers, the connection is not back and the CAs send nothing; a CA
// the list does not hold (another took its address meanwhile) has lost it.
struct Notices {
    std::mutex lock;
    std::vector<std::pair<std::int32_t, std::int32_t>> seen;
    static void Record(void* context, std::int32_t notice, std::int32_t value) {
        auto* self = static_cast<Notices*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->seen.emplace_back(notice, value);
    }
    std::vector<std::pair<std::int32_t, std::int32_t>> Seen() {
        std::lock_guard<std::mutex> guard(lock);
        return seen;
    }
};

TEST_F(J1939Facade, ACARecreatedOnANewConnectionLearnsItLostItsAddress) {
    Notices notices;
    sdk.RegisterConnectionNotifier(&Notices::Record, &notices);
    ASSERT_EQ(Create(CANBus1, 0x80, {}, {TxRow({1}, 0xFEF1, 0)}), 1);
    EXPECT_EQ(sdk.J1939SendMessage(1, 0), 0);
    SetAnswers([](Answers& a) { a.answer = false; });
    ASSERT_EQ(platform.Server().Disconnect(kAddress), 0);
    ASSERT_TRUE(AwaitReconnections(1));
    // The creation again, then the question for the list.
    const auto asked = [&] {
        const auto commands = SentCommands();
        return std::count(commands.begin(), commands.end(), 6) == 2 && commands.back() == 0;
    };
    for (int i = 0; i < 1000 && !asked(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(asked());
    EXPECT_EQ(sdk.GetConnectionState(), 2);
    EXPECT_EQ(sdk.J1939SendMessage(1, 0), -107);

    // The list holds none of this application's CAs.
    ASSERT_EQ(platform.Send(kAddress, 13, 10, Bytes{}), 0);
    for (int i = 0; i < 1000 && sdk.GetConnectionState() != 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(sdk.GetConnectionState(), 1);
    EXPECT_EQ(sdk.J1939SendMessage(1, 0), -99);
    // Told of the loss, then of the CA that lost its address, then of the restore.
    for (int i = 0; i < 1000 && notices.Seen().size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    using Notice = std::pair<std::int32_t, std::int32_t>;
    EXPECT_EQ(notices.Seen(), (std::vector<Notice>{{1, 0}, {3, 1}, {2, 0}}));
}

TEST_F(J1939Facade, TheServiceLoopWakesForRowsFasterThanItsBound) {
    // A 50 ms row is sent every 50 ms, not once per 200 ms pass.
    ASSERT_EQ(Create(CANBus1, 0x80, {}, {TxRow({1}, 0xFEF1, 50)}), 1);
    const std::size_t before = platform.Messages().size();
    std::size_t waits = clock.WaitsBegun().size();
    clock.Advance(200);  // ends the first wait; the row is due at once
    for (int pass = 0; pass < 4; ++pass) {
        ASSERT_TRUE(clock.AwaitWaits(++waits));
        EXPECT_EQ(clock.WaitsBegun().back(), 50);
        ASSERT_TRUE(platform.AwaitMessages(before + static_cast<std::size_t>(pass) + 1));
        clock.Advance(50);
    }
    ASSERT_TRUE(platform.AwaitMessages(before + 5));
    EXPECT_EQ(CyclicSends(), 5);
}

TEST_F(J1939Facade, ACyclicRowGoesOutOnTheFirstPassAfterItsCreation) {
    ASSERT_EQ(Create(CANBus1, 0x80, {}, {TxRow({1}, 0xFEF1, 1000)}), 1);
    const std::size_t before = platform.Messages().size();
    const std::size_t waits = clock.WaitsBegun().size();
    clock.Advance(200);
    ASSERT_TRUE(platform.AwaitMessages(before + 1));
    ASSERT_TRUE(clock.AwaitWaits(waits + 1));
    // The next send is 1000 ms away: the loop keeps to its 200 ms bound.
    EXPECT_EQ(clock.WaitsBegun().back(), 200);
    EXPECT_EQ(CyclicSends(), 1);
}

struct ShutdownFromCallback {
    Sink* sink;
    CustomApplication::TarvexInterface* sdk;
};

void RecordAndShutDown(void* context, CANBus bus, unsigned int pgn, unsigned char source, unsigned char destination,
                       unsigned char priority, const unsigned char* data, unsigned short length) {
    auto* state = static_cast<ShutdownFromCallback*>(context);
    Sink::Tag tag{state->sink, 1};
    Sink::Callback(&tag, bus, pgn, source, destination, priority, data, length);
    state->sdk->Shutdown();
}

TEST_F(J1939Facade, NoCallbackRunsAfterACallbackShutTheInstanceDown) {
    ShutdownFromCallback state{&sink, &sdk};
    J1939ReceiveTableEntry rx[2] = {{0xFEF1, 0, 0, &RecordAndShutDown, &state}, Row(2, 0xFEF1, 0x20, sink.Context(2))};
    J1939TransmitTableEntry tx[1];
    ASSERT_EQ(sdk.J1939CreateCA(CANBus1, 0x80, &name, rx, 2, tx, 0), 1);
    ASSERT_EQ(Create(CANBus1, 0x81, {Row(0, 0xFEF1, 0, sink.Context(3))}), 2);
    // Both rows of the first CA and the row of the second match, in that
    // order; the first callback shuts down.
    ASSERT_EQ(platform.Send(kAddress, 13, 5, ReceivedRecord(1, 0x20, 0xff, 0xFEF1, {1})), 0);
    ASSERT_TRUE(sink.Await(1));
    sdk.Shutdown();  // joins the listener
    EXPECT_EQ(sink.Tags(), (std::vector<int>{1}));
}

TEST_F(J1939Facade, MessagesFromThePlatformReachTheCallbacksOnTheListenerThread) {
    ASSERT_EQ(Create(CANBus1, 0x80, {Row(1, 0, 0x20, sink.Context(1))}), 1);
    ASSERT_EQ(platform.Send(kAddress, 13, 5, ReceivedRecord(1, 0x20, 0x80, 0x18FEF1, {1, 2, 3}, 7)), 0);
    ASSERT_TRUE(sink.Await(1));
    EXPECT_EQ(sink.Deliveries().at(0), (Delivery{1, CANBus1, 0x18FEF1, 0x20, 0x80, 7, {1, 2, 3}}));
}

}  // namespace
