// Thread rule: Request and the destructor are called on the simulator's
// worker thread; the summaries are computed on a thread of the object's own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "services/PluginFiles.h"

namespace gatewaysim {

// Summaries of the plug-in files that never hold up the buses: the worker
// thread only looks a file's version up, and the CRC of each version of a
// file is computed once, on this object's thread, however often it is asked
// for. Small files are summarised on the worker at once.
class FileSummaries {
public:
    using Done = std::function<void(const FileSummary&)>;
    // Files up to this size are summarised at once on the worker thread:
    // a small file never waits behind a large one's CRC.
    static constexpr std::int64_t kInlineBytes = 64 * 1024;
    // Runs a task on the worker thread later (or drops it once the
    // simulator stops).
    using Post = std::function<void(std::function<void()>)>;

    // `computing` (optional) is called on this object's thread before a
    // file is read: a test hook.
    FileSummaries(Post post, std::function<void()> computing);
    // Ends the thread, abandoning a summary under way.
    ~FileSummaries();
    FileSummaries(const FileSummaries&) = delete;
    FileSummaries& operator=(const FileSummaries&) = delete;

    // Calls `done` on the worker thread with the summary of `path`: at once
    // when there is no regular file or this version of it was summarised
    // before, else once it has been.
    void Request(const std::string& path, Done done);

private:
    struct Known {
        FileVersion version;
        FileSummary summary;
    };
    struct Pending {
        std::string path;
        Done done;
    };

    // The summary of `version` of `path`, if known (lock_ held).
    bool Lookup(const std::string& path, const FileVersion& version, FileSummary* summary);
    void Run();

    const Post post_;
    const std::function<void()> computing_;
    std::atomic<bool> stopping_{false};
    std::mutex lock_;  // guards pending_ and known_
    std::condition_variable wake_;
    std::deque<Pending> pending_;
    std::map<std::string, Known> known_;
    std::thread thread_;
};

}  // namespace gatewaysim
