// The J1939 encoders, byte for byte, against the test platform.
#include <gtest/gtest.h>

#include <cstring>

#include "IPCClient.h"
#include "TestPlatform.h"
#include "j1939/J1939IPC.h"

namespace J1939IPC = PlatformServices::J1939IPC;
using Bytes = std::vector<std::uint8_t>;
using PlatformServices::IPCClient;
using testsupport::TestPlatform;

namespace {

class J1939Encoders : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(client.Connect("/redirected/by/the/environment"), 0);
        ASSERT_GT(client.RegisterAddress(50), 0);
        ASSERT_TRUE(platform.AwaitClient(50));
    }

    // The one child of the one message the platform received.
    TestPlatform::Child Only() {
        EXPECT_TRUE(platform.AwaitMessages(1));
        const auto messages = platform.Messages();
        EXPECT_EQ(messages.size(), 1u);
        const auto& message = messages.at(0);
        EXPECT_EQ(message.category, 13);
        EXPECT_EQ(message.destination, 13);
        EXPECT_EQ(message.children.size(), 1u);
        return message.children.at(0);
    }

    TestPlatform platform;
    IPCClient client;
    CustomApplication::ClientSink sink{&client};
};

TEST_F(J1939Encoders, CAListRequestsCarryId10Or12) {
    ASSERT_EQ(J1939IPC::GetCurrentCAList(sink, false), 0);
    ASSERT_EQ(J1939IPC::GetCurrentCAList(sink, true), 0);
    ASSERT_TRUE(platform.AwaitMessages(2));
    const auto messages = platform.Messages();
    EXPECT_EQ(messages[0].children.at(0).command, 0);
    EXPECT_EQ(messages[0].children.at(0).payload, (Bytes{10, 0}));
    EXPECT_EQ(messages[1].children.at(0).command, 0);
    EXPECT_EQ(messages[1].children.at(0).payload, (Bytes{12, 0}));
    EXPECT_EQ(messages[1].category, 13);
    EXPECT_EQ(messages[1].destination, 13);
}

TEST_F(J1939Encoders, InterfaceManagerCarriesTheBus) {
    ASSERT_EQ(J1939IPC::CreateInterfaceManager(3, sink), 0);
    const auto child = Only();
    EXPECT_EQ(child.command, 1);
    EXPECT_EQ(child.payload, (Bytes{3}));
}

TEST_F(J1939Encoders, CreationCarriesBusAddressAndTheNameFieldByField) {
    J1939IPC::J1939NameIPC name{};
    name.ArbitraryAddressCapable = 1;
    name.IndustryGroup = 2;
    name.VehicleSystemInstance = 3;
    name.VehicleSystem = 4;
    name.IdentityNumber = 0x0012345;
    name.ManufacturerCode = 0x2ab;
    name.Function = 0x81;
    name.FunctionInstance = 5;
    name.ECUInstance = 6;
    ASSERT_EQ(J1939IPC::CreateControllerApplication(2, 0x80, &name, sink), 0);
    const auto child = Only();
    EXPECT_EQ(child.command, 6);
    ASSERT_EQ(child.payload.size(), 20u);
    const Bytes head(child.payload.begin(), child.payload.begin() + 2);
    EXPECT_EQ(head, (Bytes{2, 0x80}));
    const Bytes nameBytes(child.payload.begin() + 4, child.payload.begin() + 17);
    EXPECT_EQ(nameBytes, (Bytes{1, 2, 3, 4, 0x45, 0x23, 0x01, 0x00, 0xab, 0x02, 0x81, 5, 6}));
}

TEST_F(J1939Encoders, RemovalCarriesBusAndAddress) {
    ASSERT_EQ(J1939IPC::RemoveControllerApplication(4, 0x27, sink), 0);
    const auto child = Only();
    EXPECT_EQ(child.command, 7);
    EXPECT_EQ(child.payload, (Bytes{4, 0x27}));
}

TEST_F(J1939Encoders, SubscribeAndUnsubscribeShareThePayload) {
    ASSERT_EQ(J1939IPC::SubscribeMessage(2, J1939IPC::SubscribePGN, 0xFEF1, 0, sink, false), 0);
    ASSERT_EQ(J1939IPC::SubscribeMessage(2, J1939IPC::SubscribePGN, 0xFEF1, 0, sink, true), 0);
    ASSERT_EQ(J1939IPC::SubscribeMessage(1, J1939IPC::SubscribePGNAndSource, 0x3FFFF, 0x17, sink, false),
              0);
    ASSERT_TRUE(platform.AwaitMessages(3));
    const auto messages = platform.Messages();
    const auto at = [](const Bytes& bytes, std::size_t from, std::size_t to) {
        return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
    };
    const auto& subscribe = messages[0].children.at(0);
    const auto& unsubscribe = messages[1].children.at(0);
    EXPECT_EQ(subscribe.command, 3);
    EXPECT_EQ(unsubscribe.command, 11);
    ASSERT_EQ(subscribe.payload.size(), 16u);
    EXPECT_EQ(subscribe.payload[0], 2);
    EXPECT_EQ(at(subscribe.payload, 4, 8), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(at(subscribe.payload, 8, 12), (Bytes{0xf1, 0xfe, 0, 0}));
    EXPECT_EQ(subscribe.payload[12], 0);
    EXPECT_EQ(unsubscribe.payload, subscribe.payload);

    const auto& both = messages[2].children.at(0).payload;
    ASSERT_EQ(both.size(), 16u);
    EXPECT_EQ(both[0], 1);
    EXPECT_EQ(at(both, 4, 8), (Bytes{2, 0, 0, 0}));
    EXPECT_EQ(at(both, 8, 12), (Bytes{0xff, 0xff, 0x03, 0}));
    EXPECT_EQ(both[12], 0x17);
}

TEST_F(J1939Encoders, SendCarriesTheHeaderAndExactlyLengthPayloadBytes) {
    J1939IPC::J1939SendMessageIPC message{};
    message.Bus = 1;
    message.SourceAddress = 0x80;
    message.DestinationAddress = 0xff;
    message.Priority = 6;
    message.PGN = 0x1FEF1;
    message.Length = 3;
    message.Data[0] = 0xa;
    message.Data[1] = 0xb;
    message.Data[2] = 0xc;
    message.Data[3] = 0xd;  // beyond Length: not sent
    ASSERT_EQ(J1939IPC::SendMessage(&message, sink), 0);
    const auto child = Only();
    EXPECT_EQ(child.command, 4);
    ASSERT_EQ(child.payload.size(), 23u);
    EXPECT_EQ(Bytes(child.payload.begin(), child.payload.begin() + 10),
              (Bytes{1, 0x80, 0xff, 6, 0xf1, 0xfe, 0x01, 0x00, 3, 0}));
    EXPECT_EQ(Bytes(child.payload.begin() + 12, child.payload.begin() + 16), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(Bytes(child.payload.begin() + 20, child.payload.end()), (Bytes{0xa, 0xb, 0xc}));
}

TEST_F(J1939Encoders, RefusalsSendNothing) {
    J1939IPC::J1939SendMessageIPC message{};
    // Missing records.
    EXPECT_EQ(J1939IPC::CreateControllerApplication(1, 2, nullptr, sink), -22);
    EXPECT_EQ(J1939IPC::SendMessage(nullptr, sink), -22);
    // A length beyond the record would read past its end.
    message.Length = 1786;
    EXPECT_EQ(J1939IPC::SendMessage(&message, sink), -22);

    // The next message is the first the platform sees.
    message.Length = 1785;
    ASSERT_EQ(J1939IPC::SendMessage(&message, sink), 0);
    const auto child = Only();
    EXPECT_EQ(child.command, 4);
    EXPECT_EQ(child.payload.size(), 20u + 1785u);
}

}  // namespace
