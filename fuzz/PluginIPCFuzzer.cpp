// Plug-in job notifications and file replies (category 22, commands 13, 16
// and 18) through the listener's dispatch into an instance in plug-in mode
// with a job-start notifier.
#include <cstdint>

#include "FuzzRig.h"

namespace {

using namespace CustomApplication;

void JobStarted(void*, const PluginTypes::JobInfo* info) {
    if (info == nullptr) __builtin_trap();
    if (info->Bus < CoreTypes::CANBus0 || info->Bus > CoreTypes::CANBusUnknown) __builtin_trap();
    fuzzrig::Touch(info, sizeof *info);
}

void SetUp(fuzzrig::Rig& rig) { rig.sdk.PluginRegisterJobStartNotifier(&JobStarted, nullptr); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzrig::Rig& rig = fuzzrig::TheRig(1, &SetUp);
    fuzzrig::Dispatch(rig, fuzzrig::kCategoryCustomApplications, fuzzrig::EnvelopePayload(data, size));
    return 0;
}
