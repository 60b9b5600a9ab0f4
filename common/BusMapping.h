// Thread rule: pure functions; any thread.
//
// Bus-number translation between the public enumeration and the platform's
// one-byte bus number.
#pragma once

#include <cstdint>

#include <customapp/CoreTypes.h>

namespace CustomApplication {
namespace Internal {

// Whether `bus` names one of the buses 0 to 4. A bus given by the
// application is checked with this first, and refused when it does not.
inline bool IsBus(CoreTypes::CANBus bus) { return bus >= CoreTypes::CANBus0 && bus <= CoreTypes::CANBus4; }

// Buses 1 to 4 keep their number; bus 0 and any value outside the
// enumeration become the platform's bus 0 (only values that passed IsBus
// reach it from the application).
inline std::uint8_t ToIPCBus(CoreTypes::CANBus bus) {
    switch (bus) {
        case CoreTypes::CANBus1:
        case CoreTypes::CANBus2:
        case CoreTypes::CANBus3:
        case CoreTypes::CANBus4:
            return static_cast<std::uint8_t>(bus);
        default:
            return 0;
    }
}

// The platform's buses 0 to 4, or CANBusUnknown.
inline CoreTypes::CANBus ToSDKBus(std::uint8_t bus) {
    return bus <= 4 ? static_cast<CoreTypes::CANBus>(bus) : CoreTypes::CANBusUnknown;
}

}  // namespace Internal
}  // namespace CustomApplication
