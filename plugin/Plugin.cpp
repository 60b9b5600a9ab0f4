#include "plugin/Plugin.h"

#include <algorithm>
#include <cstring>

#include "Helper.h"
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

std::int32_t Plugin::Query(std::int32_t command, const void* request, std::size_t length, const Request& asked,
                           PluginTypes::FileStats* stats, PluginTypes::FileData* data, std::int32_t& result) {
    Reply reply;
    const std::int32_t outcome = exchange_.Exchange(
        kTimeoutMs, asked, [&] { return sink_.Send(kCategory, kAddress, command, request, length); }, sink_,
        &reply);
    if (outcome != 0) return outcome;
    if (stats != nullptr) *stats = reply.stats;
    if (data != nullptr) {
        data->Value0 = reply.data.Value0;
        data->Value1 = reply.data.Value1;
        data->Length = std::min(reply.data.Length, PluginTypes::MaxFileDataLength);
        std::memcpy(data->Data, reply.data.Data, data->Length);
        result = reply.dataResult;
    }
    return 0;
}

std::int32_t Plugin::GetFileStats(PluginTypes::FileStats* stats, PluginTypes::FileMode mode) {
    if (stats == nullptr) return kInvalidArgument;
    std::uint8_t request[8] = {};
    const std::int32_t id = pluginId_();
    Put(request, &id, 4);
    request[4] = SDKFileModeToIPC(mode);
    Request asked;
    asked.kind = KindStats;
    std::int32_t unused = 0;
    return Query(FileStats, request, sizeof request, asked, stats, nullptr, unused);
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
    Request asked;
    asked.kind = KindData;
    asked.mode = request[4];
    asked.offset = value0;
    std::int32_t result = 0;
    const std::int32_t outcome = Query(FileData, request, sizeof request, asked, nullptr, data, result);
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
            if (notifier == nullptr || stopRequested_.load(std::memory_order_acquire)) return;
            PluginTypes::JobInfo info{};
            info.CommsMode = IPCCommsModeToSDK(data[4]);  // low byte of the word at 4
            info.Bus = ToSDKBus(data[8]);
            info.JobParameter = data[9];
            notifier(context, &info);
            return;
        }
        case 16: {
            if (length != kStatsReplyBytes) return;
            Reply reply;
            reply.kind = KindStats;
            reply.stats.Value0 = Read<std::uint32_t>(data + 4);
            reply.stats.Value1 = Read<std::uint32_t>(data + 8);
            (void)exchange_.Offer(reply);
            return;
        }
        case 18: {
            if (length != kDataReplyBytes) return;
            Reply reply;
            reply.kind = KindData;
            reply.mode = data[8];
            reply.data.Value0 = Read<std::uint32_t>(data + 12);
            reply.data.Value1 = Read<std::uint32_t>(data + 16);
            reply.data.Length = std::min(Read<std::uint32_t>(data + 20), PluginTypes::MaxFileDataLength);
            reply.dataResult = Read<std::int32_t>(data + 4);
            std::memcpy(reply.data.Data, data + kDataReplyContentOffset, reply.data.Length);
            (void)exchange_.Offer(reply);
            return;
        }
        default:
            return;
    }
}

}  // namespace Internal
}  // namespace CustomApplication
