#include "plugin/Plugin.h"

#include <algorithm>
#include <cstring>

#include "common/BusMapping.h"
#include "common/RequestExchange.h"
#include "common/Result.h"

namespace CustomApplication {
namespace Internal {

namespace {
constexpr std::int32_t kCategory = 22;
constexpr std::int32_t kAddress = 22;
constexpr std::int32_t kTimeoutMs = 800;

enum Command : std::int32_t { Progress = 14, FileStats = 15, FileData = 17 };

constexpr std::size_t kJobStartBytes = 12;
constexpr std::size_t kStatsReplyBytes = 12;
constexpr std::size_t kDataReplyBytes = 4120;
constexpr std::size_t kDataReplyContentOffset = 24;

void Put(std::uint8_t* bytes, const void* value, std::size_t size) { std::memcpy(bytes, value, size); }

template <typename T>
T Read(const std::uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}
}  // namespace

std::uint8_t Plugin::SDKFileModeToIPC(PluginTypes::FileMode mode) {
    switch (static_cast<std::int32_t>(mode)) {
        case 0:
            return 0;
        case 1:
            return 1;
        default:
            return 2;
    }
}

std::int32_t Plugin::IPCCommsModeToSDK(std::uint8_t mode) { return mode == 0 ? 0 : 1; }

void Plugin::ReportJobProgress(PluginTypes::OperationState state, std::uint8_t progress, std::int32_t value) {
    std::uint8_t report[12] = {};
    const std::int32_t id = pluginId_();
    Put(report, &id, 4);
    report[4] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(state) & 0xff);
    report[5] = progress;
    Put(report + 8, &value, 4);
    (void)sink_.Send(kCategory, kAddress, Progress, report, sizeof report);
}

std::int32_t Plugin::Query(std::int32_t command, const void* request, std::size_t length, Kind kind,
                           PluginTypes::FileStats* stats, PluginTypes::FileData* data, std::int32_t& result) {
    // Replies carry no request identifier: with one query in flight per
    // instance, the reply that arrives is this caller's.
    return ExchangeWithReply(
        sink_, turn_, replyEvent_, kTimeoutMs, [&] { (void)sink_.Send(kCategory, kAddress, command, request, length); },
        [&]() -> std::int32_t {
            // Copied out under the lock: a late duplicate reply cannot change
            // the values half-way.
            MutexLock guard(replyLock_);
            if (replyKind_ != kind) return kUnexpectedReply;
            if (stats != nullptr) *stats = lastFileStats_;
            if (data != nullptr) {
                data->Value0 = lastFileData_.Value0;
                data->Value1 = lastFileData_.Value1;
                data->Length = std::min(lastFileData_.Length, PluginTypes::MaxFileDataLength);
                std::memcpy(data->Data, lastFileData_.Data, data->Length);
                result = lastFileDataResult_;
            }
            return 0;
        });
}

std::int32_t Plugin::GetFileStats(PluginTypes::FileStats* stats, PluginTypes::FileMode mode) {
    if (stats == nullptr) return kInvalidArgument;
    std::uint8_t request[8] = {};
    const std::int32_t id = pluginId_();
    Put(request, &id, 4);
    request[4] = SDKFileModeToIPC(mode);
    std::int32_t unused = 0;
    return Query(FileStats, request, sizeof request, KindStats, stats, nullptr, unused);
}

std::int32_t Plugin::GetFileData(PluginTypes::FileData* data, PluginTypes::FileMode mode, std::uint32_t value0,
                                 std::uint32_t value1, std::uint32_t value2) {
    if (data == nullptr) return kInvalidArgument;
    std::uint8_t request[20] = {};
    const std::int32_t id = pluginId_();
    Put(request, &id, 4);
    request[4] = SDKFileModeToIPC(mode);
    Put(request + 8, &value0, 4);
    Put(request + 12, &value1, 4);
    Put(request + 16, &value2, 4);
    std::int32_t result = 0;
    const std::int32_t outcome = Query(FileData, request, sizeof request, KindData, nullptr, data, result);
    return outcome != 0 ? outcome : result;
}

void Plugin::RegisterJobStartNotifier(PluginTypes::JobStartNotifier notifier, void* context) {
    MutexLock guard(notifierLock_);
    jobStartNotifier_ = notifier;
    jobStartContext_ = context;
}

void Plugin::HandleMessage(std::int32_t command, const std::uint8_t* data, std::size_t length) {
    if (data == nullptr) return;
    switch (command) {
        case 13: {
            if (length != kJobStartBytes) return;
            PluginTypes::JobStartNotifier notifier;
            void* context;
            {
                MutexLock guard(notifierLock_);
                notifier = jobStartNotifier_;
                context = jobStartContext_;
            }
            if (notifier == nullptr) return;
            PluginTypes::JobInfo info{};
            info.CommsMode = IPCCommsModeToSDK(data[4]);  // low byte of the word at 4
            info.Bus = ToSDKBus(data[8]);
            info.JobParameter = data[9];
            notifier(context, &info);
            return;
        }
        case 16:
            if (length != kStatsReplyBytes) return;
            {
                MutexLock guard(replyLock_);
                lastFileStats_.Value0 = Read<std::uint32_t>(data + 4);
                lastFileStats_.Value1 = Read<std::uint32_t>(data + 8);
                replyKind_ = KindStats;
            }
            replyEvent_.Set();
            return;
        case 18:
            if (length != kDataReplyBytes) return;
            {
                MutexLock guard(replyLock_);
                lastFileData_.Value0 = Read<std::uint32_t>(data + 12);
                lastFileData_.Value1 = Read<std::uint32_t>(data + 16);
                lastFileData_.Length = std::min(Read<std::uint32_t>(data + 20), PluginTypes::MaxFileDataLength);
                lastFileDataResult_ = Read<std::int32_t>(data + 4);
                std::memcpy(lastFileData_.Data, data + kDataReplyContentOffset, lastFileData_.Length);
                replyKind_ = KindData;
            }
            replyEvent_.Set();
            return;
        default:
            return;
    }
}

}  // namespace Internal
}  // namespace CustomApplication
