// What the application registered is at the platform exactly when the
// library says so: a registration the held-up platform did not take fails
// and leaves nothing behind, a new connection reads up only once everything
// is back (a CA that lost its address meanwhile is known lost by then), and
// a call that would wait on the listener thread fails at once.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <utility>
#include <vector>
#include <string>

#include "Harness.h"
#include "LocalApp.h"

namespace integration {
namespace {

using namespace CustomApplication;
using CoreTypes::CANBus0;
using CoreTypes::CANBus1;
using CoreTypes::CANBus2;
using CoreTypes::CANBus3;

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

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
using Notice = std::pair<std::int32_t, std::int32_t>;

TEST(Registration, OneThePlatformDidNotTakeFailsAndLeavesNothingBehind) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    CANTypes::CANReceiveTableEntry none{};
    CANTypes::CANTransmitTableEntry noRows{};
    ASSERT_GT(app.sdk.CANInit(CANBus0, &none, 0, &noRows, 0), 0);
    J1939Types::J1939Name name{};
    J1939Types::J1939ReceiveTableEntry j1939None{};
    J1939Types::J1939TransmitTableEntry j1939NoRows{};
    const std::int32_t ca = app.sdk.J1939CreateCA(CANBus2, 0x80, &name, &j1939None, 0, &j1939NoRows, 0);
    ASSERT_GT(ca, 0);
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) { return Contains(list, "J1939 CA can2 address 80"); }));

    // Held up until its socket is full: every later message is given up.
    sim.Command("stall 100 4000");
    std::int32_t sent = 0;
    for (int i = 0; i < 100000 && sent == 0; ++i) sent = app.SendCan(CANBus0, 0x500, false, {1});
    ASSERT_EQ(sent, -11);
    std::vector<CANTypes::CANReceiveTableEntry> rows;
    for (unsigned id = 0x101; id <= 0x105; ++id) rows.push_back({id, 0x7FF, CANTypes::Standard, &LocalApp::OnCan, &app});
    EXPECT_EQ(app.sdk.CANInit(CANBus1, rows.data(), 5, &noRows, 0), -11);
    EXPECT_EQ(app.sdk.CANRegisterReceiveAllMessages(CANBus0, CANTypes::Standard, &LocalApp::OnCan, &app), -11);
    J1708Types::J1708ReceiveTableEntry j1708Row{};
    J1708Types::J1708TransmitTableEntry j1708None{};
    EXPECT_EQ(app.sdk.J1708Init(&j1708Row, 0, &j1708None, 0), -11);
    EXPECT_EQ(app.sdk.J1939RegisterReceiveAllMessages(ca, &LocalApp::OnJ1939, &app), -11);

    // Once the platform reads again, it holds none of them, and each can be
    // made again; then it delivers.
    ASSERT_TRUE(Eventually([&] { return app.SendCan(CANBus0, 0x501, false, {2}) == 0; }));
    const std::string mine = SectionOf(sim.Command("list"), 100);
    EXPECT_FALSE(Contains(mine, "CAN subscription can1")) << mine;
    EXPECT_FALSE(Contains(mine, "CAN subscription can0")) << mine;
    EXPECT_FALSE(Contains(mine, "J1708 subscription")) << mine;
    EXPECT_FALSE(Contains(mine, "J1939 subscription")) << mine;
    EXPECT_GT(app.sdk.CANInit(CANBus1, rows.data(), 5, &noRows, 0), 0);
    EXPECT_EQ(app.sdk.CANRegisterReceiveAllMessages(CANBus0, CANTypes::Standard, &LocalApp::OnCan, &app), 0);
    EXPECT_EQ(app.sdk.J1708Init(&j1708Row, 0, &j1708None, 0), 0);
    EXPECT_EQ(app.sdk.J1939RegisterReceiveAllMessages(ca, &LocalApp::OnJ1939, &app), 0);
    // The platform is still working through what the application sent during the stall.
    ASSERT_TRUE(sim.AwaitList([](const std::string& list) {
        return Contains(SectionOf(list, 100), "CAN subscription can1 id 103");
    }));
    Peer peer(sim.Endpoint(), 101);
    ASSERT_EQ(peer.Run("can-init 1"), "1 0 0");
    ASSERT_EQ(peer.Run("can-send 1 103 0 33"), "0");
    EXPECT_FALSE(app.Await("can 1 103 0 33", 1).empty());
    EXPECT_EQ(peer.Quit(), 0);
    app.sdk.Shutdown();
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(Registration, ANewConnectionIsUpOnlyOnceEverythingIsBack) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    Notices notices;
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    app.sdk.RegisterConnectionNotifier(&Notices::Record, &notices);
    const std::int32_t ca = app.CreateCa(CANBus2, 0x80, 7);
    ASSERT_GT(ca, 0);
    CANTypes::CANReceiveTableEntry rows[3] = {{0x121, 0x7FF, CANTypes::Standard, &LocalApp::OnCan, &app},
                                              {0x122, 0x7FF, CANTypes::Standard, &LocalApp::OnCan, &app},
                                              {0x123, 0x7FF, CANTypes::Standard, &LocalApp::OnCan, &app}};
    CANTypes::CANTransmitTableEntry noRows{};
    ASSERT_GT(app.sdk.CANInit(CANBus0, rows, 3, &noRows, 0), 0);

    // The platform restarts and takes nothing from the applications for a
    // while; a registration made meanwhile reaches the new connection once.
    sim.Command("stall all 1500");
    sim.Command("restart");
    ASSERT_TRUE(Eventually([&] { return app.sdk.GetConnectionState() == CoreTypes::ConnectionLost; }));
    EXPECT_GT(app.sdk.CANInit(CANBus3, rows, 1, &noRows, 0), 0);

    // Up means the platform has all of it, at that moment already.
    ASSERT_TRUE(Eventually([&] { return app.sdk.GetConnectionState() == CoreTypes::ConnectionUp; }));
    const std::string mine = SectionOf(sim.Command("list"), 100);
    EXPECT_TRUE(Contains(mine, "J1939 CA can2 address 80")) << mine;
    EXPECT_TRUE(Contains(mine, "J1939 subscription can2 all")) << mine;
    EXPECT_EQ(Count(mine, "CAN subscription can0"), 3u) << mine;
    EXPECT_EQ(Count(mine, "CAN subscription can3 id 121"), 1u) << mine;
    ASSERT_TRUE(Eventually([&] { return notices.Seen().size() >= 2; }));
    EXPECT_EQ(notices.Seen(), (std::vector<Notice>{{CoreTypes::NoticeConnectionLost, 0},
                                                   {CoreTypes::NoticeConnectionRestored, 0}}));

    // A node takes the CA's address: the application is told, and its sends are refused.
    sim.Command("take can2 0x80");
    ASSERT_TRUE(Eventually([&] { return notices.Seen().size() >= 3; }));
    EXPECT_EQ(notices.Seen().back(), (Notice{CoreTypes::NoticeAddressLost, ca}));
    EXPECT_EQ(app.SendJ1939(CANBus2, 0x80, 0xFF, 6, 0xFEF1, {2}), -99);
    app.sdk.Shutdown();
    EXPECT_EQ(sim.Stop(), 0);
}

struct CallbackCall {
    TarvexInterface* sdk;
    std::promise<std::int32_t> result;
    bool done = false;
};


void ReadEeprom(void* context, CoreTypes::CANBus, unsigned int, CANTypes::FrameType, const unsigned char*,
                unsigned char) {
    auto* call = static_cast<CallbackCall*>(context);
    if (call->done) return;
    call->done = true;
    unsigned char bytes[4];
    call->result.set_value(call->sdk->EEPROMRead(0, bytes, 4));
}

TEST(Registration, ABlockingCallFromACallbackFailsAtOnce) {
    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start());
    LocalApp app(sim.Endpoint(), 100);
    ASSERT_EQ(app.InitResult(), 0);
    CallbackCall call{&app.sdk, {}};
    auto result = call.result.get_future();
    CANTypes::CANReceiveTableEntry none{};
    CANTypes::CANTransmitTableEntry noRows{};
    ASSERT_GT(app.sdk.CANInit(CANBus1, &none, 0, &noRows, 0), 0);
    ASSERT_EQ(app.sdk.CANRegisterReceiveAllMessages(CANBus1, CANTypes::Standard, &ReadEeprom, &call), 0);
    Peer peer(sim.Endpoint(), 101);
    ASSERT_EQ(peer.Run("can-init 1"), "1 0 0");
    ASSERT_EQ(peer.Run("can-send 1 2AA 0 01"), "0");
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), -35);
    unsigned char bytes[4];
    EXPECT_EQ(app.sdk.EEPROMRead(0, bytes, 4), 0);
    EXPECT_EQ(peer.Quit(), 0);
    app.sdk.Shutdown();
    EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
}  // namespace integration
