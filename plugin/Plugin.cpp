// Notifications and replies of the platform's plug-in service, handled on
// the listener thread, and the two translation tables.
#include <algorithm>
#include <cstring>

#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

namespace Internal {

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

}  // namespace Internal

namespace {
constexpr std::size_t kJobStartBytes = 12;
constexpr std::size_t kStatsReplyBytes = 12;
constexpr std::size_t kDataReplyBytes = 4120;
constexpr std::size_t kDataReplyContentOffset = 24;

template <typename T>
T Read(const std::uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}
}  // namespace

void TarvexInterfacePrivate::PluginHandleIPC(const PlatformServices::QRVMessage& child,
                                             std::int32_t /*sourceAddress*/) {
    if (plugin == nullptr) return;
    const std::uint8_t* data = child.GetData();
    const std::size_t length = child.GetLength();
    if (data == nullptr) return;
    switch (child.GetCommand()) {
        case 13: {
            if (length != kJobStartBytes) return;
            PluginTypes::JobStartNotifier notifier;
            void* context;
            {
                MutexLock guard(plugin->NotifierLock);
                notifier = plugin->JobStartNotifier;
                context = plugin->JobStartContext;
            }
            if (notifier == nullptr) return;
            PluginTypes::JobInfo info{};
            info.CommsMode = Plugin::IPCCommsModeToSDK(data[4]);  // low byte of the word at 4
            info.Bus = IPCCANBusToSDKBus(data[8]);
            info.JobParameter = data[9];
            notifier(context, &info);
            return;
        }
        case 16:
            if (length != kStatsReplyBytes) return;
            {
                MutexLock guard(plugin->ReplyLock);
                plugin->LastFileStats.Value0 = Read<std::uint32_t>(data + 4);
                plugin->LastFileStats.Value1 = Read<std::uint32_t>(data + 8);
                plugin->ReplyKind = Plugin::KindStats;
            }
            plugin->ReplyEvent.Set();
            return;
        case 18:
            if (length != kDataReplyBytes) return;
            {
                MutexLock guard(plugin->ReplyLock);
                PluginTypes::FileData& last = plugin->LastFileData;
                last.Value0 = Read<std::uint32_t>(data + 12);
                last.Value1 = Read<std::uint32_t>(data + 16);
                last.Length = std::min(Read<std::uint32_t>(data + 20), PluginTypes::MaxFileDataLength);
                plugin->LastFileDataResult = Read<std::int32_t>(data + 4);
                std::memcpy(last.Data, data + kDataReplyContentOffset, last.Length);
                plugin->ReplyKind = Plugin::KindData;
            }
            plugin->ReplyEvent.Set();
            return;
        default:
            return;
    }
}

}  // namespace CustomApplication
