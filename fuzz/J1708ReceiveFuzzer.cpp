// J1708 received-frame records (category 20) through the listener's dispatch
// into an application with receive rows and a catch-all.
#include <cstdint>

#include "FuzzRig.h"

namespace {

using namespace CustomApplication;

void Received(void*, unsigned char, unsigned char, unsigned char, const unsigned char* data, unsigned char length) {
    fuzzrig::Touch(data, length);
}

void SetUp(fuzzrig::Rig& rig) {
    J1708Types::J1708ReceiveTableEntry rows[] = {{128, &Received, nullptr}, {136, &Received, nullptr},
                                                 {140, nullptr, nullptr}};
    const std::uint8_t payload[4] = {1, 2, 3, 4};
    J1708Types::J1708TransmitTableEntry transmit[] = {{payload, 4, 172, 0, 8}};
    if (rig.sdk.J1708Init(rows, 3, transmit, 1) != 0) __builtin_trap();
    rig.sdk.J1708RegisterReceiveAllMessages(&Received, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzrig::Rig& rig = fuzzrig::TheRig(0, &SetUp);
    fuzzrig::Dispatch(rig, fuzzrig::kCategoryJ1708, fuzzrig::EnvelopePayload(data, size));
    return 0;
}
