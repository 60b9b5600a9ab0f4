// Thread rule: exists in plug-in mode only, owned by the private instance.
// Application threads run the file queries, one at a time per instance (the
// others wait for their turn), and register the notifier; the listener
// thread hands each message of the plug-in service to HandleMessage, which
// passes a reply to the query it answers, or calls the notifier. Neither lock
// is held across a callback or a write, and they are never held together.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include <customapp/PluginTypes.h>

#include "common/MessageSink.h"
#include "common/Mutex.h"
#include "common/RequestExchange.h"

namespace CustomApplication {
namespace Internal {

// Plug-in jobs: progress reports, the file queries and the job-start
// notifier, over the platform's plug-in service (category 22).
class Plugin {
public:
    // `sink` carries the requests and outlives this object; `pluginId`
    // gives the host's plug-in identifier (0 when it gives none);
    // `stopRequested`, which outlives this object too, is set once Shutdown
    // has begun, and from then on no notifier starts.
    Plugin(MessageSink& sink, std::function<std::int32_t()> pluginId, const std::atomic<bool>& stopRequested)
        : sink_(sink), pluginId_(std::move(pluginId)), stopRequested_(stopRequested) {}
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // The operations; see the facade for their results.
    void ReportJobProgress(PluginTypes::OperationState state, std::uint8_t progress, std::int32_t value);
    std::int32_t GetFileStats(PluginTypes::FileStats* stats, PluginTypes::FileMode mode);
    std::int32_t GetFileData(PluginTypes::FileData* data, PluginTypes::FileMode mode, std::uint32_t value0,
                             std::uint32_t value1, std::uint32_t value2);
    void RegisterJobStartNotifier(PluginTypes::JobStartNotifier notifier, void* context);

    // One message of the plug-in service: a job start (13) calls the
    // notifier; a file-stats (16) or file-data (18) reply is stored and wakes
    // the waiting query. A message of the wrong size is dropped.
    void HandleMessage(std::int32_t command, const std::uint8_t* data, std::size_t length);
    // Ends the wait of a query once no answer can come.
    void WakeWaiter() { exchange_.Wake(); }
    // Answers dropped because their query had given up (summary 0, block 1).
    std::uint64_t LateAnswers(std::int32_t kind) const {
        return kind < 0 ? 0 : exchange_.LateAnswers(static_cast<std::size_t>(kind));
    }

    // File mode to the request's file-mode byte: 0 and 1 as they are, any
    // other value 2.
    static std::uint8_t SDKFileModeToIPC(PluginTypes::FileMode mode);
    // Communication-mode byte of a job-start notification: 0 gives 0, any
    // other value 1.
    static std::int32_t IPCCommsModeToSDK(std::uint8_t mode);

private:
    // What a reply answers.
    enum Kind : std::int32_t { KindStats = 0, KindData = 1 };
    // One reply of the plug-in service.
    struct Reply {
        Kind kind = KindStats;
        std::uint8_t mode = 0;           // a content reply: the file-mode byte it serves
        PluginTypes::FileStats stats{};  // a summary reply
        PluginTypes::FileData data{};    // a content reply
        std::int32_t dataResult = 0;     // a content reply
    };

    // What a reply can tell of the query it answers: a content reply carries
    // the file mode and the offset (the first request value) it serves, a
    // summary reply nothing, so no two summary queries can be told apart.
    struct Request {
        static constexpr std::size_t kKinds = 2;
        Kind kind = KindStats;
        std::uint8_t mode = 0;
        std::uint32_t offset = 0;
        std::size_t KindIndex() const { return static_cast<std::size_t>(kind); }
        bool Answers(const Reply& reply) const {
            return reply.kind == kind && (kind != KindData || (reply.mode == mode && reply.data.Value0 == offset));
        }
        bool Confusable(const Request& other) const {
            return other.kind == kind && (kind != KindData || (other.mode == mode && other.offset == offset));
        }
    };

    // Takes the turn, sends the request, waits for the reply that answers it
    // and copies it out: 0 with the summary copied to `stats`, or the
    // content to `data` and its result to `result`; otherwise the exchange's
    // result (-110; -131 when only replies that answer something else came;
    // -114 while an earlier query's answer could still be taken for this
    // one's; -107 without a connection) or the failed write's (-11: the
    // platform did not take the request).
    std::int32_t Query(std::int32_t command, const void* request, std::size_t length, const Request& asked,
                       PluginTypes::FileStats* stats, PluginTypes::FileData* data, std::int32_t& result);

    MessageSink& sink_;
    const std::function<std::int32_t()> pluginId_;
    const std::atomic<bool>& stopRequested_;
    RequestExchange<Reply, Request> exchange_;

    // The registration, written and read as one pair.
    Mutex notifierLock_;
    PluginTypes::JobStartNotifier jobStartNotifier_ GUARDED_BY(notifierLock_) = nullptr;
    void* jobStartContext_ GUARDED_BY(notifierLock_) = nullptr;
};

}  // namespace Internal
}  // namespace CustomApplication
