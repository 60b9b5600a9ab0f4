// Thread rule: plain records and a callback type; the records belong to the
// application and are read by the library only during the call they are
// passed to. Callbacks of this type run on the library's listener thread.
#pragma once

#include <cstdint>

#include "CoreTypes.h"

namespace CustomApplication {
namespace CANTypes {

// Frame format. Only Extended (1) counts as extended; on sending, any other
// value goes out as a standard frame.
enum FrameType : std::int32_t {
    Standard = 0,
    Extended = 1,
};

// Receives one frame. `data` is valid only during the call.
typedef void (*CANReceiveCallback)(void* context, CoreTypes::CANBus bus, unsigned int identifier,
                                   FrameType type, const unsigned char* data, unsigned char length);

// One row of a receive table. The identifier is the row's key, unique
// within one table.
struct CANReceiveTableEntry {
    std::uint32_t Identifier;     // identifier to match
    std::uint32_t Mask;           // a set bit must match; 0 matches every identifier
    FrameType Type;               // frame format to match
    CANReceiveCallback Callback;  // may be null: subscribed, never delivers
    void* Context;                // handed back as the callback's first argument
};

// One row of a transmit table.
struct CANTransmitTableEntry {
    const unsigned char* Data;  // initial payload, copied during CANInit
    std::uint8_t Length;        // 0 to 8
    std::uint32_t Identifier;
    FrameType Type;
    std::int64_t Period;  // milliseconds; 0: on request only; > 0: also cyclically
};

// One frame for a one-shot send.
struct CANMessage {
    CoreTypes::CANBus Bus;
    std::uint32_t Identifier;
    FrameType Type;
    std::uint8_t Length;  // more than 8 is sent as 8
    std::uint8_t Data[8];
};

}  // namespace CANTypes
}  // namespace CustomApplication
