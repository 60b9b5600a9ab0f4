// Thread rule: exists in plug-in mode only, owned by the private instance.
// Application threads run the file queries, one at a time per instance
// (Turn), and register the notifier; the listener thread stores each reply
// under ReplyLock and then sets ReplyEvent, and calls the notifier, which it
// reads under NotifierLock. Neither lock is held across a callback or an IPC
// write, and they are never held together.
#pragma once

#include <cstdint>
#include <mutex>

#include <customapp/PluginTypes.h>

#include "ManualResetEvent.h"
#include "common/RequestTurn.h"
#include "common/Mutex.h"

namespace CustomApplication {
namespace Internal {

// Plug-in jobs: the job-start notifier and the reply slot of the file queries.
class Plugin {
public:
    // What the last reply answered.
    enum Kind : std::int32_t { KindStats = 0, KindData = 1 };

    Plugin() = default;
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // File mode to the request's file-mode byte: 0 and 1 as they are, any
    // other value 2.
    static std::uint8_t SDKFileModeToIPC(PluginTypes::FileMode mode);
    // Communication-mode byte of a job-start notification: 0 gives 0, any
    // other value 1.
    static std::int32_t IPCCommsModeToSDK(std::uint8_t mode);

    // The last reply stored.
    PluginTypes::FileData LastFileData GUARDED_BY(ReplyLock){};
    std::int32_t LastFileDataResult GUARDED_BY(ReplyLock) = 0;
    PluginTypes::FileStats LastFileStats GUARDED_BY(ReplyLock){};
    // The registration, written and read as one pair.
    PluginTypes::JobStartNotifier JobStartNotifier GUARDED_BY(NotifierLock) = nullptr;
    void* JobStartContext GUARDED_BY(NotifierLock) = nullptr;
    std::int32_t ReplyKind GUARDED_BY(ReplyLock) = KindStats;
    PlatformServices::ManualResetEvent ReplyEvent;

    Mutex ReplyLock;
    Mutex NotifierLock;
    RequestTurn Turn;
};

}  // namespace Internal
}  // namespace CustomApplication
