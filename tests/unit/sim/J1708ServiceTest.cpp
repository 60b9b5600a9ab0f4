#include <gtest/gtest.h>

#include "SimFixture.h"

namespace {

using namespace simtest;
using namespace gatewaysim;

Bytes J1708Record(std::uint8_t mid, const Bytes& data, std::uint8_t priority = 3) {
    Bytes b(33, 0);
    b[1] = priority;
    b[2] = static_cast<std::uint8_t>(data.size() + 1);
    b[3] = mid;
    for (std::size_t i = 0; i < data.size() && i < 29; ++i) b[4 + i] = data[i];
    return b;
}

class J1708ServiceTest : public SimTest {};

TEST_F(J1708ServiceTest, FramesReachTheOtherSubscribersWithTheirChecksum) {
    StartSim();
    RawApp& a = Connect(100);
    RawApp& b = Connect(101);
    RawApp& quiet = Connect(102);
    a.Send(kCategoryJ1708, j1708::kCmdSubscribe, {});
    b.Send(kCategoryJ1708, j1708::kCmdSubscribe, {});
    a.Sync();
    b.Sync();

    a.Send(kCategoryJ1708, j1708::kCmdSend, J1708Record(0x80, {0x01, 0x02}));
    Bytes longest(19);
    for (std::size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<std::uint8_t>(0xE0 + i);
    a.Send(kCategoryJ1708, j1708::kCmdSend, J1708Record(0x81, longest));
    a.Sync();
    b.Sync();
    quiet.Sync();
    const auto got = b.Of(kCategoryJ1708, j1708::kCmdReceived);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].source, kAddressJ1708);
    ASSERT_EQ(got[0].payload.size(), 33u);
    EXPECT_EQ(got[0].payload[2], 4);  // MID, two data bytes, checksum
    EXPECT_EQ(Bytes(got[0].payload.begin() + 3, got[0].payload.begin() + 7), (Bytes{0x80, 0x01, 0x02, 0x7D}));
    EXPECT_EQ(got[1].payload[2], 21);  // the longest frame the bus carries
    unsigned sum = 0;
    for (std::size_t i = 0; i < 21; ++i) sum += got[1].payload[3 + i];
    EXPECT_EQ(sum % 256, 0u);  // the checksum makes the byte sum 0
    EXPECT_TRUE(a.Of(kCategoryJ1708, j1708::kCmdReceived).empty());
    EXPECT_TRUE(quiet.Of(kCategoryJ1708, j1708::kCmdReceived).empty());

    // The operator's frame reaches every subscriber; after withdrawing, b gets no more.
    b.Send(kCategoryJ1708, j1708::kCmdUnsubscribe, {});
    b.Sync();
    ASSERT_TRUE(Run("j1708 AC#1234").ok);
    const auto atA = a.AwaitCount(kCategoryJ1708, j1708::kCmdReceived, 1);
    ASSERT_EQ(atA.size(), 1u);
    EXPECT_EQ(Bytes(atA[0].payload.begin() + 2, atA[0].payload.begin() + 7),
              (Bytes{4, 0xAC, 0x12, 0x34, static_cast<std::uint8_t>(0x100 - ((0xAC + 0x12 + 0x34) & 0xFF))}));
    b.Sync();
    EXPECT_EQ(b.Of(kCategoryJ1708, j1708::kCmdReceived).size(), 2u);
}

TEST_F(J1708ServiceTest, FramesLongerThanTheBusAllowsAreRefusedAndReported) {
    StartSim();
    RawApp& a = Connect(100);
    RawApp& b = Connect(101);
    b.Send(kCategoryJ1708, j1708::kCmdSubscribe, {});
    b.Sync();
    a.Send(kCategoryJ1708, j1708::kCmdSend, J1708Record(0x80, Bytes(20, 1)));  // 22 bytes with the checksum
    Bytes empty = J1708Record(0x80, {});
    empty[2] = 0;
    a.Send(kCategoryJ1708, j1708::kCmdSend, empty);
    Bytes shortRecord = J1708Record(0x80, {1, 2, 3});
    shortRecord.resize(5);  // its count announces more than it holds
    a.Send(kCategoryJ1708, j1708::kCmdSend, shortRecord);
    a.Send(kCategoryJ1708, j1708::kCmdSend, Bytes(34, 0));
    a.Send(kCategoryJ1708, 7, {});
    a.Sync();
    b.Sync();
    EXPECT_TRUE(b.Of(kCategoryJ1708, j1708::kCmdReceived).empty());
    EXPECT_TRUE(AwaitReport("frame of 21 bytes is longer than the bus allows (20 bytes and the checksum)"));
    EXPECT_TRUE(AwaitReport("empty frame"));
    EXPECT_TRUE(AwaitReport("count 4 runs past the payload"));
    EXPECT_TRUE(AwaitReport("payload of 34 bytes, expected 33"));
    EXPECT_TRUE(AwaitReport("J1708 command 7 refused: unknown command"));
}

}  // namespace
