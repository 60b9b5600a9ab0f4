// Thread rule: plain records and a callback type; the records belong to the
// application and are read by the library only during the call they are
// passed to. Callbacks of this type run on the library's listener thread.
#pragma once

#include <cstdint>

namespace CustomApplication {
namespace J1708Types {

// Data bytes after the MID that one message holds at most. A received
// message can hold 20; one sent carries at most 19, as a frame on the bus is
// at most 21 bytes long with its MID and checksum.
constexpr std::uint8_t MaxDataLength = 20;

// Receives one message. `data` is valid only during the call; `priority` is
// always 0 for a received message.
typedef void (*J1708ReceiveCallback)(void* context, unsigned char mid, unsigned char checksum,
                                     unsigned char priority, const unsigned char* data,
                                     unsigned char length);

// One row of the receive table; the MID is the row's key.
struct J1708ReceiveTableEntry {
    std::uint8_t Mid;
    J1708ReceiveCallback Callback;  // may be null: the MID goes to the catch-all callback
    void* Context;
};

// One row of the transmit table.
struct J1708TransmitTableEntry {
    const unsigned char* Data;  // data bytes after the MID, copied during J1708Init
    std::uint8_t Length;        // 0 to 19
    std::uint8_t Mid;
    std::int64_t Period;  // milliseconds; 0: on request only; negative: every pass
    std::uint8_t Priority;
};

// One message, for a one-shot send and for delivery.
struct J1708Message {
    std::uint8_t Mid;
    std::uint8_t Checksum;  // on delivery: the frame's last byte; not read for sending
    std::uint8_t Priority;  // for sending; 0 on delivery
    std::uint8_t Length;    // valid bytes in Data
    std::uint8_t Data[MaxDataLength];
};

}  // namespace J1708Types
}  // namespace CustomApplication
