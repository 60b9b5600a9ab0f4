#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "QRVMessage.h"

namespace {

using PlatformServices::QRVMessage;
using Bytes = std::vector<std::uint8_t>;
using Parse = QRVMessage::ParseResult;

// A received message whose payload is exactly `payload`.
std::unique_ptr<QRVMessage> Received(const Bytes& payload) {
    QRVMessage sent(QRVMessage::kTypeEnvelope, 22, 5);
    EXPECT_TRUE(sent.Build(22, payload.size(), payload.data(), false));
    Bytes frame;
    const std::size_t bytes = sent.Serialize(frame);
    EXPECT_EQ(bytes, frame.size());
    std::unique_ptr<QRVMessage> message;
    std::size_t used = 0;
    EXPECT_EQ(QRVMessage::ParseFrame(frame.data(), frame.size(), &message, &used), Parse::kOk);
    return message;
}

TEST(QRVMessageTest, EnvelopeWithOneChildHasTheDocumentedBytes) {
    QRVMessage envelope(QRVMessage::kTypeEnvelope, 10, 254);
    envelope.SetSourceAddress(-2);
    const std::uint8_t data[] = {0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(envelope.NewChildMessage(QRVMessage::kTypeChild)
                    ->Build(0x01020304, sizeof(data), data, false));

    Bytes frame{0x99};  // Serialize appends
    EXPECT_EQ(envelope.Serialize(frame), 35u);
    // clang-format off
    const Bytes expected{0x99,
                         0x1F, 0x00, 0x00, 0x00,                          // length 31
                         0x00, 0x00, 0x00, 0x00,                          // type 0, reserved
                         0x0A, 0x00, 0x00, 0x00,                          // category 10
                         0xFE, 0x00, 0x00, 0x00,                          // destination 254
                         0xFE, 0xFF, 0xFF, 0xFF,                          // source -2
                         0x01, 0x00, 0x00, 0x00,                          // child type 1, reserved
                         0x04, 0x03, 0x02, 0x01,                          // child command
                         0x03, 0x00, 0x00, 0x00,                          // child length
                         0xAA, 0xBB, 0xCC};
    // clang-format on
    EXPECT_EQ(frame, expected);

    // The same frame without building the message.
    Bytes direct{0x99};
    EXPECT_EQ(QRVMessage::SerializeEnvelope(direct, 10, 254, -2, 0x01020304, data, sizeof(data)), 35u);
    EXPECT_EQ(direct, expected);
}

TEST(QRVMessageTest, FramesRoundTripBackToBack) {
    QRVMessage first(QRVMessage::kTypeEnvelope, 13, 0x7FFFFFFF);
    first.SetSourceAddress(3);
    Bytes big(1000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(
        first.NewChildMessage(QRVMessage::kTypeChild)->Build(-5, big.size(), big.data(), false));
    ASSERT_TRUE(first.NewChildMessage(QRVMessage::kTypeChild)->Build(6, 0, nullptr, false));
    QRVMessage second(QRVMessage::kTypeRegisterAck, -98, 0);

    Bytes stream;
    const std::size_t firstBytes = first.Serialize(stream);
    ASSERT_EQ(firstBytes, 4u + 16 + 12 + 1000 + 12);
    ASSERT_EQ(second.Serialize(stream), 20u);

    std::unique_ptr<QRVMessage> m;
    std::size_t used = 0;
    ASSERT_EQ(QRVMessage::ParseFrame(stream.data(), stream.size(), &m, &used), Parse::kOk);
    EXPECT_EQ(used, firstBytes);
    EXPECT_EQ(m->GetMessageType(), 0);
    EXPECT_EQ(m->GetCommand(), 13);
    EXPECT_EQ(m->GetAddress(), 0x7FFFFFFF);
    EXPECT_EQ(m->GetSourceAddress(), 3);
    EXPECT_EQ(m->GetLength(), 12u + 1000 + 12);
    ASSERT_TRUE(m->ParseChildMessages());
    ASSERT_TRUE(m->ParseChildMessages());  // again: harmless
    const auto& children = m->GetChildMessages();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->GetMessageType(), QRVMessage::kTypeChild);
    EXPECT_EQ(children[0]->GetCommand(), -5);
    EXPECT_EQ(children[0]->GetSourceAddress(), 0);
    EXPECT_EQ(Bytes(children[0]->GetData(), children[0]->GetData() + children[0]->GetLength()),
              big);
    EXPECT_EQ(children[1]->GetCommand(), 6);
    EXPECT_EQ(children[1]->GetData(), nullptr);
    EXPECT_EQ(children[1]->GetLength(), 0u);

    ASSERT_EQ(QRVMessage::ParseFrame(stream.data() + used, stream.size() - used, &m, &used),
              Parse::kOk);
    EXPECT_EQ(used, 20u);
    EXPECT_EQ(m->GetMessageType(), QRVMessage::kTypeRegisterAck);
    EXPECT_EQ(m->GetCommand(), -98);
    EXPECT_EQ(m->GetData(), nullptr);
}

TEST(QRVMessageTest, ParseFrameNeverReadsPastTheGivenSize) {
    QRVMessage message(QRVMessage::kTypeEnvelope, 20, 9);
    const std::uint8_t data[] = {1, 2, 3, 4, 5};
    message.NewChildMessage(QRVMessage::kTypeChild)->Build(1, sizeof(data), data, false);
    Bytes frame;
    message.Serialize(frame);
    for (std::size_t n = 0; n < frame.size(); ++n) {
        // An exact-size heap copy, so that a read past the end is caught by ASan.
        std::unique_ptr<std::uint8_t[]> prefix(new std::uint8_t[n]);
        std::copy(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n), prefix.get());
        std::unique_ptr<QRVMessage> m;
        std::size_t used = 99;
        EXPECT_EQ(QRVMessage::ParseFrame(prefix.get(), n, &m, &used), Parse::kIncomplete) << n;
        EXPECT_EQ(m, nullptr);
    }
}

TEST(QRVMessageTest, LengthPrefixOutOfRangeIsMalformed) {
    const std::uint32_t max = QRVMessage::kMaxFrameBytes - 4;
    for (std::uint32_t length : {0u, 1u, 15u, max + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        const Bytes prefix{
            static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
        EXPECT_EQ(QRVMessage::ParseFrame(prefix.data(), prefix.size(), nullptr, nullptr),
                  Parse::kMalformed)
            << length;
    }
    // The limits themselves are valid: no payload, and the largest payload.
    Bytes payload(QRVMessage::kMaxPayloadBytes, 0x5A);
    for (std::size_t size : {std::size_t{0}, payload.size()}) {
        QRVMessage message(QRVMessage::kTypeEnvelope, 1, 2);
        ASSERT_TRUE(message.Build(1, size, payload.data(), false));
        Bytes frame;
        ASSERT_EQ(message.Serialize(frame), size + 20);
        std::unique_ptr<QRVMessage> m;
        std::size_t used = 0;
        ASSERT_EQ(QRVMessage::ParseFrame(frame.data(), frame.size(), &m, &used), Parse::kOk);
        EXPECT_EQ(m->GetLength(), size);
        EXPECT_EQ(used, frame.size());
    }
}

TEST(QRVMessageTest, InconsistentChildListGivesNoChildren) {
    const Bytes one{1, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 0xC1, 0xC2};  // child 7, 2 bytes
    auto good = Received(one);
    ASSERT_TRUE(good->ParseChildMessages());
    ASSERT_EQ(good->GetChildMessages().size(), 1u);
    EXPECT_EQ(good->GetChildMessages()[0]->GetCommand(), 7);
    EXPECT_EQ(good->GetChildMessages()[0]->GetLength(), 2u);

    auto empty = Received({});
    EXPECT_TRUE(empty->ParseChildMessages());
    EXPECT_TRUE(empty->GetChildMessages().empty());

    Bytes pastEnd = one;
    pastEnd[8] = 3;  // length runs one byte past the payload
    Bytes huge = one;
    huge[8] = huge[9] = huge[10] = huge[11] = 0xFF;
    Bytes trailing = one;
    trailing.insert(trailing.end(), {9, 9, 9});  // 3 bytes, less than a child header
    Bytes secondCut = one;
    secondCut.insert(secondCut.end(), one.begin(), one.end() - 1);  // second child cut short
    const Bytes shortHeader(one.begin(), one.begin() + 11);
    for (const Bytes& payload : {pastEnd, huge, trailing, secondCut, shortHeader}) {
        auto bad = Received(payload);
        EXPECT_FALSE(bad->ParseChildMessages());
        EXPECT_FALSE(bad->ParseChildMessages());
        EXPECT_TRUE(bad->GetChildMessages().empty());
        EXPECT_EQ(bad->GetLength(), payload.size());
    }
}

// One object receives frame after frame: each decodes exactly as a fresh
// message would, whatever the one before it held.
TEST(QRVMessageTest, MessageReceivedIntoAgainHoldsOnlyTheNewFrame) {
    auto frameOf = [](std::int32_t command, std::int32_t source, const Bytes& payload) {
        QRVMessage sent(QRVMessage::kTypeEnvelope, command, 5);
        sent.SetSourceAddress(source);
        EXPECT_TRUE(sent.Build(command, payload.size(), payload.data(), false));
        Bytes frame;
        sent.Serialize(frame);
        return frame;
    };
    const Bytes two{1, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 0xC1, 0xC2,  // child 7, 2 bytes
                    1, 0, 0, 0, 8, 0, 0, 0, 3, 0, 0, 0, 0xD1, 0xD2, 0xD3};
    const Bytes one{1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0xE1};
    Bytes broken = one;
    broken[8] = 2;  // runs past the payload
    Bytes bigPayload(QRVMessage::kKeptPayloadCapacity + 1, 0x5A);

    QRVMessage message(QRVMessage::kTypeEnvelope, 0, 0);
    std::size_t used = 0;
    Bytes frame = frameOf(10, 254, two);
    ASSERT_EQ(QRVMessage::ParseFrameInto(frame.data(), frame.size(), &message, &used), Parse::kOk);
    EXPECT_EQ(used, frame.size());
    ASSERT_TRUE(message.ParseChildMessages());
    ASSERT_EQ(message.GetChildMessages().size(), 2u);

    frame = frameOf(13, 77, one);
    ASSERT_EQ(QRVMessage::ParseFrameInto(frame.data(), frame.size(), &message, &used), Parse::kOk);
    EXPECT_EQ(message.GetCommand(), 13);
    EXPECT_EQ(message.GetSourceAddress(), 77);
    EXPECT_EQ(message.GetChildMessages().size(), 0u);  // not parsed yet
    EXPECT_EQ(Bytes(message.GetData(), message.GetData() + message.GetLength()), one);
    ASSERT_TRUE(message.ParseChildMessages());
    ASSERT_EQ(message.GetChildMessages().size(), 1u);
    const QRVMessage& child = *message.GetChildMessages()[0];
    EXPECT_EQ(child.GetCommand(), 9);
    EXPECT_EQ(child.GetSourceAddress(), 0);
    EXPECT_EQ(Bytes(child.GetData(), child.GetData() + child.GetLength()), Bytes{0xE1});

    frame = frameOf(10, 254, broken);
    ASSERT_EQ(QRVMessage::ParseFrameInto(frame.data(), frame.size(), &message, &used), Parse::kOk);
    EXPECT_FALSE(message.ParseChildMessages());
    EXPECT_TRUE(message.GetChildMessages().empty());

    // A large payload is taken whole, and a short or garbled frame changes nothing.
    frame = frameOf(22, 1, bigPayload);
    ASSERT_EQ(QRVMessage::ParseFrameInto(frame.data(), frame.size(), &message, &used), Parse::kOk);
    EXPECT_EQ(Bytes(message.GetData(), message.GetData() + message.GetLength()), bigPayload);
    ASSERT_EQ(QRVMessage::ParseFrameInto(frame.data(), frame.size() - 1, &message, &used), Parse::kIncomplete);
    Bytes garbled = frame;
    garbled[0] = garbled[1] = garbled[2] = garbled[3] = 0xFF;
    ASSERT_EQ(QRVMessage::ParseFrameInto(garbled.data(), garbled.size(), &message, &used), Parse::kMalformed);
    EXPECT_EQ(message.GetCommand(), 22);
    EXPECT_EQ(message.GetLength(), bigPayload.size());
    frame = frameOf(10, 254, {});
    ASSERT_EQ(QRVMessage::ParseFrameInto(frame.data(), frame.size(), &message, &used), Parse::kOk);
    EXPECT_EQ(message.GetData(), nullptr);
    EXPECT_TRUE(message.ParseChildMessages());
    EXPECT_TRUE(message.GetChildMessages().empty());
}

// Parsed children are not copies: their payload lies in the parent's, so
// every way of replacing that payload must take the children with it, and
// the storage a pool counts must include whatever a child was given later.
TEST(QRVMessageTest, ParsedChildrenReferToTheParentAndStorageIsCountedWhole) {
    const Bytes two{1, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 0xC1, 0xC2,  // child 7, 2 bytes
                    1, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0};             // child 8, empty
    Bytes frame;
    {
        QRVMessage sent(QRVMessage::kTypeEnvelope, 10, 5);
        ASSERT_TRUE(sent.Build(10, two.size(), two.data(), false));
        sent.Serialize(frame);
    }
    QRVMessage message(QRVMessage::kTypeEnvelope, 0, 0);
    std::size_t used = 0;
    ASSERT_EQ(QRVMessage::ParseFrameInto(frame.data(), frame.size(), &message, &used), Parse::kOk);
    const std::size_t bare = message.StorageBytes();
    ASSERT_TRUE(message.ParseChildMessages());
    const auto& children = message.GetChildMessages();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->GetData(), message.GetData() + 12);
    EXPECT_EQ(children[0]->GetLength(), 2u);
    EXPECT_EQ(children[1]->GetData(), nullptr);
    EXPECT_EQ(children[1]->GetLength(), 0u);
    // Two bare child objects and the list holding them; no payload copies.
    const std::size_t parsed = message.StorageBytes();
    EXPECT_GE(parsed, bare + 2 * sizeof(QRVMessage));
    EXPECT_LT(parsed, bare + 2 * sizeof(QRVMessage) + 64);

    // A child re-encodes from its parent's bytes.
    QRVMessage copy(QRVMessage::kTypeEnvelope, 10, 5);
    copy.NewChildMessage(QRVMessage::kTypeChild)
        ->Build(children[0]->GetCommand(), children[0]->GetLength(), children[0]->GetData(), false);
    Bytes encoded;
    copy.Serialize(encoded);
    EXPECT_EQ(Bytes(encoded.end() - 2, encoded.end()), (Bytes{0xC1, 0xC2}));

    // A child given a payload of its own owns it, and the parent counts it.
    const Bytes big(3000, 0x33);
    ASSERT_TRUE(children[1]->Build(4, big.size(), big.data(), false));
    EXPECT_EQ(Bytes(children[1]->GetData(), children[1]->GetData() + children[1]->GetLength()), big);
    EXPECT_GE(message.StorageBytes(), parsed + big.size());
    // Received into again: such children are not kept, the rest is reused.
    ASSERT_EQ(QRVMessage::ParseFrameInto(frame.data(), frame.size(), &message, &used), Parse::kOk);
    EXPECT_LT(message.StorageBytes(), parsed + big.size());
    ASSERT_TRUE(message.ParseChildMessages());
    EXPECT_EQ(Bytes(message.GetChildMessages()[0]->GetData(), message.GetChildMessages()[0]->GetData() + 2),
              (Bytes{0xC1, 0xC2}));

    // A new payload for the parent drops the children parsed from the old one.
    const Bytes other{1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0xE1};
    ASSERT_TRUE(message.Build(10, other.size(), other.data(), false));
    EXPECT_TRUE(message.GetChildMessages().empty());
    ASSERT_TRUE(message.ParseChildMessages());
    ASSERT_EQ(message.GetChildMessages().size(), 1u);
    EXPECT_EQ(message.GetChildMessages()[0]->GetCommand(), 9);
    EXPECT_EQ(*message.GetChildMessages()[0]->GetData(), 0xE1);

    // Children of a child (never sent so, but parseable) are counted too.
    const Bytes nested{1, 0, 0, 0, 3, 0, 0, 0, 12, 0, 0, 0,  // child 3 holding one empty child
                       1, 0, 0, 0, 4, 0, 0, 0, 0,  0, 0, 0};
    ASSERT_TRUE(message.Build(10, nested.size(), nested.data(), false));
    ASSERT_TRUE(message.ParseChildMessages());
    const std::size_t flat = message.StorageBytes();
    ASSERT_TRUE(message.GetChildMessages()[0]->ParseChildMessages());
    EXPECT_GE(message.StorageBytes(), flat + sizeof(QRVMessage));
}

TEST(QRVMessageTest, BuildAndSerializeRefuseWhatDoesNotFit) {
    QRVMessage message(QRVMessage::kTypeEnvelope, 10, 1);
    const std::uint8_t byte = 1;
    ASSERT_TRUE(message.Build(3, 1, &byte, false));
    Bytes tooBig(QRVMessage::kMaxPayloadBytes + 1);
    EXPECT_FALSE(message.Build(3, tooBig.size(), tooBig.data(), false));
    EXPECT_EQ(message.GetLength(), 0u);
    EXPECT_EQ(message.GetData(), nullptr);
    ASSERT_TRUE(message.Build(3, 1, &byte, false));
    EXPECT_FALSE(message.Build(3, 4, nullptr, false));
    EXPECT_EQ(message.GetLength(), 0u);
    EXPECT_TRUE(message.Build(3, 0, nullptr, false));

    // A child of the largest payload leaves no room for its own header.
    QRVMessage envelope(QRVMessage::kTypeEnvelope, 10, 1);
    ASSERT_TRUE(
        envelope.NewChildMessage(1)->Build(1, QRVMessage::kMaxPayloadBytes, tooBig.data(), false));
    Bytes out{1, 2, 3};
    EXPECT_EQ(envelope.Serialize(out), 0u);
    EXPECT_EQ(out, (Bytes{1, 2, 3}));

    // Children that together exceed the frame.
    QRVMessage many(QRVMessage::kTypeEnvelope, 10, 1);
    for (int i = 0; i < 3; ++i) many.NewChildMessage(1)->Build(i, 30000, tooBig.data(), false);
    EXPECT_EQ(many.Serialize(out), 0u);

    // A type that does not fit its byte.
    QRVMessage wide(256, 10, 1);
    EXPECT_EQ(wide.Serialize(out), 0u);
    EXPECT_EQ(out.size(), 3u);
}

}  // namespace
