// Reception: matching rules, catch-all registrations and the frame handler.
#include <gtest/gtest.h>

#include "CANTestUtil.h"
#include "CoreFixture.h"
#include "QRVMessage.h"

using namespace cantest;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::Extended;
using CustomApplication::CANTypes::Standard;
using PlatformServices::QRVMessage;
using testsupport::CoreFixture;
using testsupport::TestPlatform;

namespace {

class CANReception : public CANComponent {
protected:
    // Sets up `bus` with `rows` (callbacks recorded under the given tags).
    void InitBus(std::vector<CANReceiveTableEntry> rows, CANBus bus = CANBus(1)) {
        CANTransmitTableEntry none[1] = {};
        rows.push_back({});  // the table pointer must not be null, even for no rows
        ASSERT_GT(can.Create(bus, rows.data(), static_cast<int>(rows.size()) - 1, none, 0), 0);
    }
    CANReceiveTableEntry Row(std::uint32_t identifier, std::uint32_t mask, FrameType type, int tag) {
        return CANReceiveTableEntry{identifier, mask, type, &Deliveries::Callback, got.Tag(tag)};
    }
    void CatchAll(CANBus bus, FrameType type, int tag) {
        ASSERT_EQ(can.RegisterReceiveAllMessages(bus, type, &Deliveries::Callback, got.Tag(tag)), 0);
    }
    std::vector<int> Receive(const PlatformServices::CANIPC::Message& record) {
        got.Clear();
        can.Receive(&record);
        return got.Tags();
    }

    Deliveries got;
};

TEST_F(CANReception, EveryMatchingRowIsCalledInAscendingIdentifierOrder) {
    InitBus({Row(0x300, 0, Standard, 3),         // every standard frame
             Row(0x123, 0x7FF, Standard, 1),     // exactly 0x123
             Row(0x100, 0x700, Standard, 2),     // 0x100 to 0x1FF
             {0x124, 0x7FF, Standard, nullptr, nullptr}});  // no callback: never a match
    CatchAll(CANBus(1), Standard, 9);

    EXPECT_EQ(Receive(Frame(0x123, 0, 1, {0xAA, 0xBB})), (std::vector<int>{2, 1, 3}));
    for (const Delivery& delivery : got.All()) {
        EXPECT_EQ(delivery.bus, CANBus(1));
        EXPECT_EQ(delivery.identifier, 0x123u);
        EXPECT_EQ(delivery.type, Standard);
        EXPECT_EQ(delivery.data, (Bytes{0xAA, 0xBB}));
    }
    EXPECT_EQ(Receive(Frame(0x124, 0, 1, {})), (std::vector<int>{2, 3}));
    EXPECT_EQ(Receive(Frame(0x7FF, 0, 1, {})), (std::vector<int>{3}));
    // Another bus has no interface and no catch-all.
    EXPECT_EQ(Receive(Frame(0x123, 0, 2, {})), (std::vector<int>{}));
}

TEST_F(CANReception, RowsMatchOnlyTheirFrameFormatAndGetTheirOwnTypeBack) {
    ASSERT_NO_FATAL_FAILURE(InitBus({Row(0x10, 0, Extended, 1), Row(0x20, 0, FrameType(7), 2)}));
    CatchAll(CANBus(1), Standard, 8);
    CatchAll(CANBus(1), Extended, 9);

    EXPECT_EQ(Receive(Frame(0x18FEF100, 1, 1, {})), (std::vector<int>{1}));
    EXPECT_EQ(got.All().at(0).type, Extended);
    EXPECT_EQ(Receive(Frame(0x555, 0, 1, {})), (std::vector<int>{2}));
    EXPECT_EQ(got.All().at(0).type, FrameType(7));
    // A format byte of 2 matches no row; the catch-all takes it as standard.
    EXPECT_EQ(Receive(Frame(0x555, 2, 1, {})), (std::vector<int>{8}));
    EXPECT_EQ(got.All().at(0).type, Standard);
}

TEST_F(CANReception, TheCatchAllGetsOnlyWhatNoRowWithACallbackTook) {
    ASSERT_NO_FATAL_FAILURE(InitBus({{0x100, 0x7FF, Standard, nullptr, nullptr}, Row(0x200, 0x7FF, Standard, 1)}));
    CatchAll(CANBus(1), Standard, 8);
    CatchAll(CANBus(1), Extended, 9);
    EXPECT_EQ(Receive(Frame(0x100, 0, 1, {1})), (std::vector<int>{8}));
    EXPECT_EQ(Receive(Frame(0x200, 0, 1, {1})), (std::vector<int>{1}));
    EXPECT_EQ(Receive(Frame(0x200, 1, 1, {1})), (std::vector<int>{9}));
    const Delivery caught = got.All().at(0);
    EXPECT_EQ(caught.type, Extended);
    EXPECT_EQ(caught.identifier, 0x200u);
    // A bus number outside 0 to 4 reaches nothing.
    EXPECT_EQ(Receive(Frame(0x200, 0, 7, {1})), (std::vector<int>{}));
}

TEST_F(CANReception, AnOverlongLengthByteIsDeliveredAsEightBytes) {
    ASSERT_NO_FATAL_FAILURE(InitBus({Row(0x42, 0x7FF, Standard, 1)}));
    EXPECT_EQ(Receive(Frame(0x42, 0, 1, {1, 2, 3, 4, 5, 6, 7, 8}, 200)), (std::vector<int>{1}));
    EXPECT_EQ(got.All().at(0).data, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(CANReception, CatchAllRegistrationsOnePerBusAndFormat) {
    EXPECT_EQ(can.RegisterReceiveAllMessages(CANBus(3), Standard, &Deliveries::Callback, got.Tag(1)), -1);
    ASSERT_NO_FATAL_FAILURE(InitBus({}, CANBus(3)));
    EXPECT_EQ(can.RegisterReceiveAllMessages(CANBus(3), Standard, nullptr, nullptr), -22);
    CatchAll(CANBus(3), Standard, 1);
    CatchAll(CANBus(3), Extended, 2);
    EXPECT_EQ(can.RegisterReceiveAllMessages(CANBus(3), Extended, &Deliveries::Callback, got.Tag(3)), -114);
    // Any other type is kept but never fires.
    CatchAll(CANBus(3), FrameType(5), 4);

    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& each : sent) EXPECT_EQ(each, std::make_pair(std::int32_t{2}, SubscriptionBytes(3, 0, 0)));
    EXPECT_EQ(Receive(Frame(0x1, 1, 3, {})), (std::vector<int>{2}));
    EXPECT_EQ(Receive(Frame(0x1, 5, 3, {})), (std::vector<int>{1}));
}

// The listener's entry takes command-1 children of exactly 16 bytes.
TEST_F(CANReception, TheHandlerTakesWholeFrameRecordsOnlyInOrder) {
    ASSERT_NO_FATAL_FAILURE(InitBus({Row(0, 0, Standard, 1)}));
    QRVMessage message(QRVMessage::kTypeEnvelope, 10, 100);
    auto add = [&](std::int32_t command, Bytes payload) {
        message.NewChildMessage(QRVMessage::kTypeChild)->Build(command, payload.size(), payload.data(), false);
    };
    add(1, Payload(Frame(0x11, 0, 1, {1})));
    Bytes shortRecord = Payload(Frame(0x12, 0, 1, {2}));
    shortRecord.pop_back();
    add(1, shortRecord);
    Bytes longRecord = Payload(Frame(0x13, 0, 1, {3}));
    longRecord.push_back(0);
    add(1, longRecord);
    add(4, Payload(Frame(0x14, 0, 1, {4})));
    add(1, {});
    add(1, Payload(Frame(0x15, 0, 1, {5})));
    can.HandleMessages(message.GetChildMessages());

    const auto all = got.All();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].identifier, 0x11u);
    EXPECT_EQ(all[0].data, Bytes{1});
    EXPECT_EQ(all[1].identifier, 0x15u);
    EXPECT_EQ(all[1].data, Bytes{5});
}

struct ShutdownFromCallback {
    CustomApplication::TarvexInterface* sdk;
    Deliveries* got;
    int tag;
};

void CallShutdown(void* context, CANBus bus, unsigned int identifier, FrameType type, const unsigned char* data,
                  unsigned char length) {
    auto* self = static_cast<ShutdownFromCallback*>(context);
    Deliveries::Callback(self->got->Tag(self->tag), bus, identifier, type, data, length);
    self->sdk->Shutdown();
}

// Frames through the connection, to the facade's tables.
class CANReceptionThroughTheListener : public CoreFixture {
protected:
    void SetUp() override {
        ASSERT_EQ(InitApp(), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
    }

    Deliveries got;
};

TEST_F(CANReceptionThroughTheListener, NoCallbackStartsOnceACallbackHasCalledShutdown) {
    ShutdownFromCallback stopper{&sdk, &got, 1};
    CANReceiveTableEntry rows[2] = {{0x10, 0x7FF, Standard, &CallShutdown, &stopper},
                                    {0x11, 0, Standard, &Deliveries::Callback, got.Tag(2)}};
    CANTransmitTableEntry none[1] = {};
    ASSERT_EQ(sdk.CANInit(CANBus(1), rows, 2, none, 0), 1);
    ASSERT_EQ(sdk.CANRegisterReceiveAllMessages(CANBus(1), Extended, &Deliveries::Callback, got.Tag(3)), 0);
    // Two messages in one write: most likely one batch, which the listener
    // handles to its end.
    Bytes bytes = TestPlatform::Frame(10, 1, Payload(Frame(0x10, 0, 1, {})));
    const Bytes second = TestPlatform::Frame(10, 1, Payload(Frame(0x99, 1, 1, {})));
    bytes.insert(bytes.end(), second.begin(), second.end());
    ASSERT_EQ(platform.SendRaw(kAddress, bytes), 0);
    ASSERT_TRUE(got.Await(1));
    sdk.Shutdown();  // joins the listener
    // The row after the stopping one and the catch-all for the second frame
    // did not run, and the rows the delivery held outlived the shutdown.
    EXPECT_EQ(got.Tags(), (std::vector<int>{1}));
}

}  // namespace
