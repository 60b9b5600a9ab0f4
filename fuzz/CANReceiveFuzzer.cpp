// CAN frame records (category 10) through the listener's dispatch into an
// application with receive rows on two buses and catch-all callbacks.
#include <cstdint>

#include "FuzzRig.h"

namespace {

using namespace CustomApplication;

void Received(void*, CoreTypes::CANBus bus, unsigned int, CANTypes::FrameType, const unsigned char* data,
              unsigned char length) {
    if (bus < CoreTypes::CANBus0 || bus > CoreTypes::CANBus4 || length > 8) __builtin_trap();
    fuzzrig::Touch(data, length);
}

void SetUp(fuzzrig::Rig& rig) {
    CANTypes::CANReceiveTableEntry rows[] = {
        {0x123, 0x7FF, CANTypes::Standard, &Received, nullptr},
        {0x100, 0x700, CANTypes::Standard, &Received, nullptr},
        {0x18FEF100, 0x1FFFFF00, CANTypes::Extended, &Received, nullptr},
        {0x200, 0x7FF, CANTypes::Standard, nullptr, nullptr},
    };
    const std::uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CANTypes::CANTransmitTableEntry transmit[] = {{payload, 8, 0x321, CANTypes::Standard, 0}};
    for (CoreTypes::CANBus bus : {CoreTypes::CANBus0, CoreTypes::CANBus1}) {
        if (rig.sdk.CANInit(bus, rows, 4, transmit, 1) <= 0) __builtin_trap();
        if (rig.sdk.CANRegisterReceiveAllMessages(bus, CANTypes::Standard, &Received, nullptr) != 0 ||
            rig.sdk.CANRegisterReceiveAllMessages(bus, CANTypes::Extended, &Received, nullptr) != 0) {
            __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzrig::Rig& rig = fuzzrig::TheRig(0, &SetUp);
    fuzzrig::Dispatch(rig, fuzzrig::kCategoryCAN, fuzzrig::EnvelopePayload(data, size));
    return 0;
}
