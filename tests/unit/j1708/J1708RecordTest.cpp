#include <gtest/gtest.h>

#include <cstring>

#include "j1708/J1708Record.h"

using CustomApplication::J1708Types::J1708Message;
using PlatformServices::J1708::Decode;
using PlatformServices::J1708::EncodeMessage;
using Record = PlatformServices::J1708::J1708Message;

namespace {

J1708Message MessageOf(std::uint8_t length) {
    J1708Message message{};
    message.Mid = 128;
    message.Checksum = 0xEE;
    message.Priority = 6;
    message.Length = length;
    for (int i = 0; i < 20; ++i) message.Data[i] = static_cast<std::uint8_t>(0xA0 + i);
    return message;
}

TEST(J1708Encoding, AMessageLengthBeyondItsBufferCopiesOnlyTheBuffer) {
    Record record;
    EncodeMessage(MessageOf(255), record);
    EXPECT_EQ(record.Count, 20);
    EXPECT_EQ(record.Frame[20], 0xA0 + 19);
    EXPECT_EQ(record.Frame[21], 0);
}

Record Received(std::uint8_t count) {
    Record record{};
    record.Priority = 7;
    record.Count = count;
    for (int i = 0; i < 30; ++i) record.Frame[i] = static_cast<std::uint8_t>(0x10 + i);
    return record;
}

TEST(J1708Decoding, CountRules) {
    J1708Message message;
    EXPECT_FALSE(Decode(Received(0), message));
    EXPECT_FALSE(Decode(Received(1), message));

    ASSERT_TRUE(Decode(Received(2), message));
    EXPECT_EQ(message.Mid, 0x10);
    EXPECT_EQ(message.Length, 0);
    EXPECT_EQ(message.Checksum, 0x11);
    EXPECT_EQ(message.Priority, 0);  // never the record's

    ASSERT_TRUE(Decode(Received(3), message));
    EXPECT_EQ(message.Length, 1);
    EXPECT_EQ(message.Data[0], 0x11);
    EXPECT_EQ(message.Checksum, 0x12);
    EXPECT_EQ(message.Data[1], 0);

    // The longest frame a message holds whole, and one byte more.
    ASSERT_TRUE(Decode(Received(22), message));
    EXPECT_EQ(message.Length, 20);
    EXPECT_EQ(message.Data[19], 0x10 + 20);
    EXPECT_EQ(message.Checksum, 0x10 + 21);
    EXPECT_FALSE(Decode(Received(23), message));
    EXPECT_FALSE(Decode(Received(255), message));
}

}  // namespace
