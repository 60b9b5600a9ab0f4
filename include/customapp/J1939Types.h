// Thread rule: plain records and a callback type; the records belong to the
// application and are read by the library only during the call they are
// passed to. Callbacks of this type run on the library's listener thread.
#pragma once

#include <cstdint>

#include "CoreTypes.h"

namespace CustomApplication {
namespace J1939Types {

// Largest J1939 payload: 255 transport packets of 7 bytes.
constexpr std::uint16_t MaxMessageLength = 1785;

// Receives one message. `data` is valid only during the call.
typedef void (*J1939ReceiveCallback)(void* context, CoreTypes::CANBus bus, unsigned int pgn,
                                     unsigned char sourceAddress, unsigned char destinationAddress,
                                     unsigned char priority, const unsigned char* data,
                                     unsigned short length);

// The NAME of a controller application, one plain number per NAME field.
struct J1939Name {
    std::uint8_t ArbitraryAddressCapable;  // 1 bit
    std::uint8_t IndustryGroup;            // 3 bits
    std::uint8_t VehicleSystemInstance;    // 4 bits
    std::uint8_t VehicleSystem;            // 7 bits
    std::uint32_t IdentityNumber;          // 21 bits
    std::uint16_t ManufacturerCode;        // 11 bits
    std::uint8_t Function;                 // 8 bits
    std::uint8_t FunctionInstance;         // 5 bits
    std::uint8_t ECUInstance;              // 3 bits
};

// One row of a CA's receive table; (PGN, SourceAddress) is the row's key.
struct J1939ReceiveTableEntry {
    std::uint32_t PGN;                // matched in modes 0 and 2
    std::uint8_t SourceAddress;       // matched in modes 1 and 2
    std::int32_t SubscriptionMode;    // 0: PGN; 1: source address; 2: both
    J1939ReceiveCallback Callback;    // may be null: subscribed, never delivers
    void* Context;
};

// One row of a CA's transmit table.
struct J1939TransmitTableEntry {
    const unsigned char* Data;  // initial payload, copied when the CA is created
    std::int32_t Length;        // 0 to 1785
    std::uint32_t PGN;
    std::int64_t Period;  // milliseconds; 0: on request only
    std::uint8_t Priority;
    std::uint8_t DestinationAddress;
};

// One message for a one-shot send.
struct J1939Message {
    CoreTypes::CANBus Bus;
    std::uint8_t SourceAddress;  // the address of one of this application's CAs on Bus
    std::uint8_t DestinationAddress;
    std::uint8_t Priority;
    std::uint32_t PGN;
    std::uint16_t Length;  // more than 1785 is sent as 1785
    std::uint8_t Data[MaxMessageLength];
};

}  // namespace J1939Types
}  // namespace CustomApplication
