// Thread rule: plain record and pure functions; usable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include <customapp/J1708Types.h>

namespace PlatformServices {
namespace J1708 {

// One J1708 frame as the platform's J1708 service exchanges it: a 33-byte
// image copied whole into and out of a message payload. An outgoing frame
// holds the MID and the data bytes; an incoming one also ends with the
// checksum, at Frame[Count - 1].
struct J1708Message {
    std::uint8_t Reserved;
    std::uint8_t Priority;
    std::uint8_t Count;  // frame bytes in Frame
    std::uint8_t Frame[30];
};
static_assert(sizeof(J1708Message) == 33, "the record is a 33-byte image");

constexpr std::size_t kRecordBytes = sizeof(J1708Message);
// Offset of Frame in the record: a payload of n bytes carries n - 3 frame bytes.
constexpr std::size_t kFrameOffset = 3;
// The longest received frame that a J1708Types::J1708Message holds whole:
// the MID, 20 data bytes and the checksum.
constexpr std::uint8_t kMaxDeliveredCount = 22;
// The most frame bytes a one-shot message announces (the MID and 19 data bytes).
constexpr std::uint8_t kMaxMessageCount = 20;
// The most data bytes that one frame on the bus carries: a J1708 frame is at
// most 21 bytes long with its MID and checksum. Rows, updates and one-shot
// messages with more are refused, as the platform would drop their frames.
constexpr std::uint8_t kMaxSentDataBytes = kMaxMessageCount - 1;

// Encodes the MID, the priority and `length` data bytes of a transmit row.
// Count is `length` + 1. The record's other bytes are zero. `length` must not
// exceed kMaxSentDataBytes (a row never holds more).
void EncodeRow(std::uint8_t mid, std::uint8_t priority, const std::uint8_t* data, std::uint8_t length,
               J1708Message& record);

// Encodes a one-shot message: Count is its Length + 1 but at most 20, and at
// most 20 data bytes are copied. The checksum field is not used. The record's
// other bytes are zero.
void EncodeMessage(const CustomApplication::J1708Types::J1708Message& message, J1708Message& record);

// Decodes a received frame. False (the frame is dropped) when its Count is
// below 2 or above 22; otherwise `message` holds the MID, the checksum, a
// priority of 0 and Count - 2 data bytes.
bool Decode(const J1708Message& record, CustomApplication::J1708Types::J1708Message& message);

}  // namespace J1708
}  // namespace PlatformServices
