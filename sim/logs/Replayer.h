// Thread rule: Start, Stop, Running, WaitDone and GetStatus may be called
// from any thread but the sink's; Recycle from any thread (the sink's
// consumer). The sink and the reporter run on the replay thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "logs/CandumpFormat.h"

namespace gatewaysim {

// What a replay is asked to do.
struct ReplayRequest {
    std::string path;
    bool fast = false;      // as fast as the sink takes the frames, not with the log's timing
    int passes = 1;         // times the file is played; 0: until stopped
    bool skipGaps = false;  // a forward gap longer than kLongGapUs is not waited for
    // A log's interface names and the buses they go to ("vcan0" -> 1). Once
    // one is given, lines of other interfaces are skipped.
    std::vector<std::pair<std::string, std::uint8_t>> mapping;
};

// One replayed frame with the steady-clock time (microseconds) it was due;
// 0 in a fast replay.
struct ReplayedFrame {
    LogEntry entry;
    std::int64_t dueUs = 0;
};
using ReplayBatch = std::vector<ReplayedFrame>;

// Replays a log into the buses: reads it on a thread of its own and hands
// the frames to the sink in batches: in a timed replay every frame that is
// due goes in the batch, and the thread waits only when the next frame lies
// in the future (the times are relative to the first frame of each pass).
// Batches are recycled (see Recycle), so that a replay allocates nothing per
// frame. Lines that do not parse are reported with their line number and
// skipped.
class Replayer {
public:
    // Takes the batch (moving it out); returns false to end the replay (the
    // simulator is stopping). Handed-over batches come back through Recycle.
    using Sink = std::function<bool(ReplayBatch& batch)>;
    using Reporter = std::function<void(const std::string& line)>;

    struct Status {
        bool running = false;
        std::string path;            // of the replay running or last run
        std::uint64_t frames = 0;    // handed over
        std::uint64_t refused = 0;   // lines that did not parse
        std::int64_t positionUs = 0; // log time of the latest frame since the first of its pass
        std::int64_t startUs = 0;    // monotonic clock when the log's first frame was due (0: not yet)
        int pass = 0;                // 1 for the first
        int passes = 1;              // 0: until stopped
        std::vector<std::string> errors;  // the first reports of the replay (refused lines, gaps)
        std::string summary;              // once it ended
        bool failed = false;              // ended without a frame sent though the file had lines, or unread
    };

    static constexpr std::size_t kMaxLineBytes = 4096;
    static constexpr int kReportedErrors = 10;
    // Frames due within this long are handed over with those due now: they
    // reach their buses at once, a little early.
    static constexpr std::int64_t kGatherUs = 200;
    // The same when every bus has a bit rate: a frame then waits in its
    // bus's transmit queue until it is due, so batches may come earlier and
    // the replay wakes less often.
    static constexpr std::int64_t kGatherOnWiresUs = 1000;
    static constexpr std::size_t kMaxBatch = 1024;
    // Batches handed over and not yet recycled, at most.
    static constexpr std::size_t kBatchesInFlight = 8;
    static constexpr std::int64_t kLongGapUs = 10'000'000;

    // `maxBatch`: frames in one batch at most (1 to kMaxBatch); `gatherUs`:
    // how far ahead of its due time a frame may be handed over.
    Replayer(Sink sink, Reporter reporter, std::size_t maxBatch = kMaxBatch, std::int64_t gatherUs = kGatherUs)
        : sink_(std::move(sink)), report_(std::move(reporter)),
          maxBatch_(maxBatch == 0 || maxBatch > kMaxBatch ? kMaxBatch : maxBatch), gatherUs_(gatherUs) {}
    ~Replayer() { Stop(); }
    Replayer(const Replayer&) = delete;
    Replayer& operator=(const Replayer&) = delete;

    // Opens the file (without ever blocking: only regular files are taken)
    // and starts replaying it. 0, -EBUSY while a replay runs, -EINVAL for
    // anything but a regular file, or the negative errno value of opening it.
    int Start(const ReplayRequest& request);
    // Ends the replay in progress (if any) at once and waits for its thread.
    void Stop();
    bool Running() const;
    // Waits (bounded) until no replay runs; true if none does.
    bool WaitDone(int timeoutMs) const;
    Status GetStatus() const;
    // Waits (bounded) until the replay sent its first frames or ended; true
    // while it runs.
    bool WaitFirstFrames(int timeoutMs) const;
    // Gives back a batch that the sink took, once its frames are handled.
    void Recycle(ReplayBatch&& batch);

private:
    void Run(int fd, ReplayRequest request);
    // Waits for a free batch; false when stopped.
    bool Acquire(ReplayBatch* batch);
    // Hands `batch` over (when it holds frames); false to end the replay.
    bool HandOver(ReplayBatch* batch);
    bool Stopping() const { return stop_.load(std::memory_order_relaxed); }
    // Reports a line and keeps it (the first kReportedErrors) for the status.
    void Note(const std::string& line);

    Sink sink_;
    Reporter report_;
    const std::size_t maxBatch_;
    const std::int64_t gatherUs_;
    mutable std::mutex lock_;
    // The replay's state changed (stopped, ended, first frames): wakes the
    // waits for those, and the replay thread's wait for a frame's time.
    mutable std::condition_variable changed_;
    // A batch came back; notified only while the replay thread waits for
    // one, so that the worker's recycling does not wake it every batch.
    std::condition_variable freed_;
    std::thread thread_;
    bool running_ = false;
    std::atomic<bool> stop_{false};
    std::vector<ReplayBatch> spare_;  // guarded by lock_
    std::size_t inFlight_ = 0;        // guarded by lock_
    bool acquiring_ = false;          // guarded by lock_; the replay thread waits on freed_
    std::string path_;                // guarded by lock_
    int passes_ = 1;                  // guarded by lock_
    std::vector<std::string> errors_; // guarded by lock_
    std::string summary_;             // guarded by lock_
    bool failed_ = false;             // guarded by lock_
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::int64_t> positionUs_{0};
    std::atomic<std::int64_t> startUs_{0};
    std::atomic<int> pass_{0};
};

}  // namespace gatewaysim
