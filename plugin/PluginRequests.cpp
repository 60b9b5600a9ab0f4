// Progress reports, the blocking file queries and the notifier registration.
#include <algorithm>
#include <cstring>

#include "core/TarvexInterfacePrivate.h"
#include "common/RequestExchange.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
constexpr std::int32_t kCategory = 22;
constexpr std::int32_t kAddress = 22;
constexpr std::int32_t kTimeoutMs = 800;

enum Command : std::int32_t { Progress = 14, FileStats = 15, FileData = 17 };

void Put(std::uint8_t* bytes, const void* value, std::size_t size) { std::memcpy(bytes, value, size); }
}  // namespace

void TarvexInterfacePrivate::PluginSendRequest(const void* data, std::int32_t length, std::int32_t command) {
    (void)Sink().Send(kCategory, kAddress, command, data,
                      static_cast<std::size_t>(std::max<std::int32_t>(length, 0)));
}

std::int32_t TarvexInterfacePrivate::PluginId() const {
    if (!HasProviders() || providers.getPluginId == nullptr) return 0;
    return providers.getPluginId(providers.hostContext);
}

void TarvexInterfacePrivate::PluginReportJobProgress(PluginTypes::OperationState state, std::uint8_t progress,
                                                     std::int32_t value) {
    if (!PluginModeActive()) return;
    std::uint8_t report[12] = {};
    const std::int32_t id = PluginId();
    Put(report, &id, 4);
    report[4] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(state) & 0xff);
    report[5] = progress;
    Put(report + 8, &value, 4);
    PluginSendRequest(report, sizeof report, Progress);
}

std::int32_t TarvexInterfacePrivate::PluginQuery(std::int32_t command, const void* request, std::int32_t length,
                                                 Plugin::Kind kind, PluginTypes::FileStats* stats,
                                                 PluginTypes::FileData* data, std::int32_t& result) {
    // Replies carry no request identifier: with one query in flight per
    // instance, the reply that arrives is this caller's.
    return ExchangeWithReply(
        Sink(), plugin->Turn, plugin->ReplyEvent, kTimeoutMs,
        [&] { PluginSendRequest(request, length, command); },
        [&]() -> std::int32_t {
            // Copied out under the lock: a late duplicate reply cannot change
            // the values half-way.
            MutexLock guard(plugin->ReplyLock);
            if (plugin->ReplyKind != kind) return kUnexpectedReply;
            if (stats != nullptr) *stats = plugin->LastFileStats;
            if (data != nullptr) {
                data->Value0 = plugin->LastFileData.Value0;
                data->Value1 = plugin->LastFileData.Value1;
                data->Length = std::min(plugin->LastFileData.Length, PluginTypes::MaxFileDataLength);
                std::memcpy(data->Data, plugin->LastFileData.Data, data->Length);
                result = plugin->LastFileDataResult;
            }
            return 0;
        });
}

std::int32_t TarvexInterfacePrivate::PluginGetFileStats(PluginTypes::FileStats* stats, PluginTypes::FileMode mode) {
    if (!PluginModeActive()) return kNotAllowed;
    if (stats == nullptr) return kInvalidArgument;
    std::uint8_t request[8] = {};
    const std::int32_t id = PluginId();
    Put(request, &id, 4);
    request[4] = Plugin::SDKFileModeToIPC(mode);
    std::int32_t unused = 0;
    return PluginQuery(FileStats, request, sizeof request, Plugin::KindStats, stats, nullptr, unused);
}

std::int32_t TarvexInterfacePrivate::PluginGetFileData(PluginTypes::FileData* data, PluginTypes::FileMode mode,
                                                       std::uint32_t value0, std::uint32_t value1,
                                                       std::uint32_t value2) {
    if (!PluginModeActive()) return kNotAllowed;
    if (data == nullptr) return kInvalidArgument;
    std::uint8_t request[20] = {};
    const std::int32_t id = PluginId();
    Put(request, &id, 4);
    request[4] = Plugin::SDKFileModeToIPC(mode);
    Put(request + 8, &value0, 4);
    Put(request + 12, &value1, 4);
    Put(request + 16, &value2, 4);
    std::int32_t result = 0;
    const std::int32_t outcome = PluginQuery(FileData, request, sizeof request, Plugin::KindData, nullptr, data, result);
    return outcome != 0 ? outcome : result;
}

void TarvexInterfacePrivate::PluginRegisterJobStartNotifier(PluginTypes::JobStartNotifier notifier, void* context) {
    if (!PluginModeActive()) return;
    MutexLock guard(plugin->NotifierLock);
    plugin->JobStartNotifier = notifier;
    plugin->JobStartContext = context;
}

}  // namespace CustomApplication
