#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

std::uint8_t TarvexInterfacePrivate::SDKCANBusToIPCBus(CoreTypes::CANBus bus) {
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

}  // namespace CustomApplication
