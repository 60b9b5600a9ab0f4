// The listener's reading and dispatching with one allocation failing, driven
// on the test's thread.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "AllocFaultSupport.h"
#include "IPCClient.h"
#include "can/CANIPC.h"
#include "can/CAN.h"
#include "core/TestHooks.h"

using namespace allocfault;
using CustomApplication::TarvexInterface;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::FrameType;
using CustomApplication::CANTypes::Standard;
using CustomApplication::CoreTypes::CANBus;
using PlatformServices::IPCClient;
using PlatformServices::MessageBatch;
using PlatformServices::QRVMessage;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::int32_t kCategoryCAN = 10;
constexpr std::int32_t kReceivedFrame = 1;

Bytes FrameRecord(std::uint32_t identifier) {
    PlatformServices::CANIPC::Message record{};
    record.Identifier = identifier;
    record.Length = 1;
    record.Data[0] = 0x5A;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    return Bytes(bytes, bytes + sizeof record);
}

// A message that cannot be read for want of memory stays buffered: the next
// read returns it whole.
TEST(ListenerFailing, ReadReportsMinus12AndKeepsTheMessage) {
    testsupport::TestPlatform platform;
    const long points = ForEachFailurePoint([&](long n) {
        // A fresh client each time, so that every read starts from the same state.
        IPCClient client;
        const std::int32_t address = 200 + static_cast<std::int32_t>(n);
        EXPECT_EQ(client.Connect(platform.Path().c_str()), 0);
        EXPECT_GT(client.RegisterAddress(address), 0);
        EXPECT_EQ(platform.Send(address, kCategoryCAN, kReceivedFrame, FrameRecord(0x100 + n)), 0);

        MessageBatch batch;
        const Outcome read = CallFailing(n, [&] { return client.Read(batch); });
        EXPECT_FALSE(read.escaped);
        if (read.escaped) return true;
        if (read.result < 0) {
            EXPECT_TRUE(read.injected);
            EXPECT_EQ(read.result, -ENOMEM);
        } else {
            EXPECT_EQ(read.result, 1);
        }
        // What the failed read did not hand over, the next one does.
        if (batch.empty()) {
            EXPECT_EQ(client.Read(batch), 1);
        }
        EXPECT_EQ(batch.size(), 1u);
        if (batch.size() == 1) {
            EXPECT_TRUE(batch.front()->ParseChildMessages());
            EXPECT_EQ(batch.front()->GetChildMessages().size(), 1u);
        }
        return read.injected;
    });
    EXPECT_GE(points, 1);
}

// Counts the host's dispatch hooks; allocates nothing, so that the failing
// allocation is always the library's.
struct Hooks {
    int begins = 0;
    int ends = 0;
    int frames = 0;
    static void Begin(void* context) { ++static_cast<Hooks*>(context)->begins; }
    static void End(void* context) { ++static_cast<Hooks*>(context)->ends; }
    static void Frame(void* context, CANBus, unsigned int, FrameType, const unsigned char*, unsigned char) {
        ++static_cast<Hooks*>(context)->frames;
    }
};

// A received message whose children cannot be decoded is dropped, between
// the host's two hooks as any other; the next one is delivered.
TEST(ListenerFailing, DispatchDropsTheMessageAndEndsTheHostHooks) {
    // No listener runs: the test's thread dispatches in its place.
    TarvexInterface sdk;
    Hooks hooks;
    CustomApplication::CoreTypes::ServiceProviders table{};
    table.hostContext = &hooks;
    table.messageDispatchBegin = &Hooks::Begin;
    table.messageDispatchEnd = &Hooks::End;
    ASSERT_EQ(CustomApplication::TEST_InitWithoutConnecting(sdk, &table, 0), 0);
    CANReceiveTableEntry receive[1] = {{0x100, 0x7FF, Standard, &Hooks::Frame, &hooks}};
    CANTransmitTableEntry transmit[1] = {};
    ASSERT_EQ(CustomApplication::TEST_CAN(sdk).Create(CANBus(0), receive, 1, transmit, 0), 1);

    const Bytes frame = testsupport::TestPlatform::Frame(kCategoryCAN, kReceivedFrame, FrameRecord(0x100));
    const long points = ForEachFailurePoint([&](long n) {
        std::unique_ptr<QRVMessage> message;
        EXPECT_EQ(QRVMessage::ParseFrame(frame.data(), frame.size(), &message, nullptr),
                  QRVMessage::ParseResult::kOk);
        const int frames = hooks.frames;
        const Outcome dispatched = CallFailing(n, [&] {
            CustomApplication::TEST_Dispatch(sdk, *message);
            return 0;
        });
        EXPECT_FALSE(dispatched.escaped);
        EXPECT_EQ(hooks.begins, static_cast<int>(n));
        EXPECT_EQ(hooks.ends, static_cast<int>(n));
        EXPECT_EQ(hooks.frames, frames + (dispatched.injected ? 0 : 1));
        return dispatched.injected;
    });
    EXPECT_GE(points, 1);
}

}  // namespace
