// Virtual-EEPROM replies (category 22, commands 2 to 10) through the
// listener's dispatch: every length and count a reply claims is checked
// before the reply is stored.
#include <cstdint>

#include "FuzzRig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzrig::Rig& rig = fuzzrig::TheRig(0, nullptr);
    fuzzrig::Dispatch(rig, fuzzrig::kCategoryCustomApplications, fuzzrig::EnvelopePayload(data, size));
    return 0;
}
