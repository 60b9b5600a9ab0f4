// Thread rule: Start, Stop, Running and WaitDone may be called from any
// thread but the sink's; the sink and the reporter run on the replay thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "io/CandumpFormat.h"

namespace gatewaysim {

// Replays a log into the buses: reads it line by line on a thread of its
// own and hands every frame to the sink, either at the moment its timestamp
// gives (relative to the first frame) or as fast as the sink takes them.
// Lines that do not parse are reported with their line number and skipped.
class Replayer {
public:
    // Returns false to end the replay (the simulator is stopping).
    using Sink = std::function<bool(const LogEntry& entry, bool fast)>;
    using Reporter = std::function<void(const std::string& line)>;

    static constexpr std::size_t kMaxLineBytes = 4096;
    static constexpr int kReportedErrors = 10;

    Replayer(Sink sink, Reporter reporter) : sink_(std::move(sink)), report_(std::move(reporter)) {}
    ~Replayer() { Stop(); }
    Replayer(const Replayer&) = delete;
    Replayer& operator=(const Replayer&) = delete;

    // Opens `path` and starts replaying it. 0, -EBUSY while a replay runs, or
    // the negative errno value of opening the file.
    int Start(const std::string& path, bool fast);
    // Ends the replay in progress (if any) and waits for its thread.
    void Stop();
    bool Running() const;
    // Waits (bounded) until no replay runs; true if none does.
    bool WaitDone(int timeoutMs) const;

private:
    void Run(std::FILE* file, std::string path, bool fast);

    Sink sink_;
    Reporter report_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::thread thread_;
    bool running_ = false;
    bool stop_ = false;
};

}  // namespace gatewaysim
