// The facade's plug-in operations; each tests for plug-in mode itself.
#include "core/TarvexInterfacePrivate.h"
#include "common/Result.h"

namespace CustomApplication {

void TarvexInterface::PluginReportJobProgress(PluginTypes::OperationState state, std::uint8_t progress,
                                              std::int32_t value) {
    if (d != nullptr && d->Running()) d->PluginReportJobProgress(state, progress, value);
}

std::int32_t TarvexInterface::PluginGetFileStats(PluginTypes::FileStats* stats, PluginTypes::FileMode mode) {
    if (d == nullptr || !d->Running()) return kNotAllowed;
    return d->PluginGetFileStats(stats, mode);
}

std::int32_t TarvexInterface::PluginGetFileData(PluginTypes::FileData* data, PluginTypes::FileMode mode,
                                                std::uint32_t value0, std::uint32_t value1, std::uint32_t value2) {
    if (d == nullptr || !d->Running()) return kNotAllowed;
    return d->PluginGetFileData(data, mode, value0, value1, value2);
}

void TarvexInterface::PluginRegisterJobStartNotifier(PluginTypes::JobStartNotifier notifier, void* context) {
    if (d != nullptr) d->PluginRegisterJobStartNotifier(notifier, context);
}

}  // namespace CustomApplication
