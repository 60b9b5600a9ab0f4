#include "logs/Replayer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <system_error>

namespace gatewaysim {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t SteadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

std::string Seconds(std::int64_t us) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f s", static_cast<double>(us) / 1e6);
    return text;
}

// Reads a file line by line through one buffer of its own: no allocation
// per line, NUL bytes kept in the line (so that they are seen), and a line
// longer than the longest one taken is skipped to its end.
class LineReader {
public:
    enum class Result { kLine, kTooLong, kEnd, kError };

    explicit LineReader(int fd) : fd_(fd) {}

    // `*line` (without its '\n') stays valid until the next call. kEnd also
    // when `stop` is set.
    Result Next(std::string_view* line, const std::atomic<bool>& stop) {
        for (;;) {
            if (stop.load(std::memory_order_relaxed)) return Result::kEnd;
            const char* start = buffer_ + begin_;
            const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
            if (newline != nullptr) {
                const auto length = static_cast<std::size_t>(newline - start);
                begin_ += length + 1;
                if (skipping_ || length > Replayer::kMaxLineBytes) {
                    skipping_ = false;
                    return Result::kTooLong;
                }
                *line = std::string_view(start, length);
                return Result::kLine;
            }
            if (skipping_ || end_ - begin_ > Replayer::kMaxLineBytes) {
                skipping_ = true;
                begin_ = end_ = 0;
            }
            if (eof_) {
                if (skipping_) {
                    skipping_ = false;
                    return Result::kTooLong;
                }
                if (begin_ == end_) return Result::kEnd;
                *line = std::string_view(buffer_ + begin_, end_ - begin_);
                begin_ = end_;
                return Result::kLine;
            }
            if (begin_ > 0) {
                std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
                end_ -= begin_;
                begin_ = 0;
            }
            const ssize_t got = ::read(fd_, buffer_ + end_, sizeof(buffer_) - end_);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return Result::kError;
            if (got == 0) {
                eof_ = true;
            } else {
                end_ += static_cast<std::size_t>(got);
            }
        }
    }

    bool Rewind() {
        begin_ = end_ = 0;
        eof_ = skipping_ = false;
        return ::lseek(fd_, 0, SEEK_SET) == 0;
    }

private:
    int fd_;
    char buffer_[64 * 1024];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    bool skipping_ = false;
};

}  // namespace

int Replayer::Start(const ReplayRequest& request) {
    // Opened without waiting, whatever the path names (a FIFO, a device):
    // only a regular file is read.
    const int fd = ::open(request.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno != 0 ? -errno : -EIO;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return -EINVAL;
    }
    std::unique_lock<std::mutex> guard(lock_);
    if (running_) {
        ::close(fd);
        return -EBUSY;
    }
    // The thread of a finished replay is joined before the next one starts.
    if (thread_.joinable()) {
        std::thread finished = std::move(thread_);
        guard.unlock();
        finished.join();
        guard.lock();
        if (running_ || thread_.joinable()) {
            ::close(fd);
            return -EBUSY;
        }
    }
    running_ = true;
    stop_ = false;
    path_ = request.path;
    passes_ = request.passes;
    errors_.clear();
    summary_.clear();
    failed_ = false;
    frames_ = 0;
    refused_ = 0;
    positionUs_ = 0;
    startUs_ = 0;
    pass_ = 0;
    try {
        thread_ = std::thread(&Replayer::Run, this, fd, request);
    } catch (const std::system_error& e) {
        running_ = false;
        ::close(fd);
        return e.code().value() != 0 ? -e.code().value() : -EAGAIN;
    }
    return 0;
}

void Replayer::Stop() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
        thread = std::move(thread_);
    }
    changed_.notify_all();
    freed_.notify_all();
    if (thread.joinable()) thread.join();
}

bool Replayer::Running() const {
    std::lock_guard<std::mutex> guard(lock_);
    return running_;
}

bool Replayer::WaitDone(int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return !running_; });
}

Replayer::Status Replayer::GetStatus() const {
    Status s;
    {
        std::lock_guard<std::mutex> guard(lock_);
        s.running = running_;
        s.path = path_;
        s.passes = passes_;
        s.errors = errors_;
        s.summary = summary_;
        s.failed = failed_;
    }
    s.frames = frames_.load();
    s.refused = refused_.load();
    s.positionUs = positionUs_.load();
    s.startUs = startUs_.load();
    s.pass = pass_.load();
    return s;
}

bool Replayer::WaitFirstFrames(int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return !running_ || frames_.load() > 0; });
    return running_;
}

void Replayer::Note(const std::string& line) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (errors_.size() < static_cast<std::size_t>(kReportedErrors)) errors_.push_back(line);
    }
    report_(line);
}

void Replayer::Recycle(ReplayBatch&& batch) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (inFlight_ > 0) --inFlight_;
        batch.clear();
        if (spare_.size() < kBatchesInFlight) spare_.push_back(std::move(batch));
        wake = acquiring_;
    }
    // The replay thread hears of it only when it waits for a batch: it
    // otherwise sleeps until its next frame is due.
    if (wake) freed_.notify_one();
}

bool Replayer::Acquire(ReplayBatch* batch) {
    std::unique_lock<std::mutex> guard(lock_);
    acquiring_ = true;
    freed_.wait(guard, [&] { return Stopping() || inFlight_ < kBatchesInFlight; });
    acquiring_ = false;
    if (Stopping()) return false;
    if (!spare_.empty()) {
        *batch = std::move(spare_.back());
        spare_.pop_back();
    }
    batch->clear();
    batch->reserve(maxBatch_);
    return true;
}

bool Replayer::HandOver(ReplayBatch* batch) {
    if (batch->empty()) return !Stopping();
    const std::size_t count = batch->size();
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++inFlight_;
    }
    if (!sink_(*batch)) {
        std::lock_guard<std::mutex> guard(lock_);
        --inFlight_;
        return false;
    }
    if (frames_.fetch_add(count, std::memory_order_relaxed) == 0) {
        // The first frames: whoever waits for them hears of it.
        std::lock_guard<std::mutex> guard(lock_);
        changed_.notify_all();
    }
    return Acquire(batch);
}

void Replayer::Run(int fd, ReplayRequest request) {
    LineReader reader(fd);
    ReplayBatch batch;
    bool ended = !Acquire(&batch);
    std::string error;
    std::uint64_t refused = 0;
    int gapsReported = 0;
    bool backwardsReported = false;
    bool readFailed = false;
    int readError = 0;
    int pass = 0;
    std::int64_t passStartUs = SteadyUs();
    startUs_ = passStartUs;
    while (!ended && (request.passes == 0 || pass < request.passes)) {
        ++pass;
        pass_ = pass;
        if (pass > 1 && !reader.Rewind()) {
            readFailed = true;
            readError = errno;
            break;
        }
        std::uint64_t lineNumber = 0;
        std::uint64_t framesThisPass = 0;
        bool haveFirst = false;
        std::int64_t firstUs = 0;
        std::int64_t lastUs = 0;     // the latest log time seen
        std::int64_t skippedUs = 0;  // gaps not waited for
        std::int64_t offsetUs = 0;   // of the latest frame from the pass's start
        for (;;) {
            std::string_view line;
            const LineReader::Result read = reader.Next(&line, stop_);
            if (read == LineReader::Result::kEnd) break;
            if (read == LineReader::Result::kError) {
                readFailed = true;
                readError = errno;
                ended = true;
                break;
            }
            ++lineNumber;
            LogLineParts parts;
            LogEntry entry;
            bool parsed = read == LineReader::Result::kLine && SplitLogLine(line, &parts, &error);
            if (read == LineReader::Result::kTooLong) error = "line too long";
            int bus = -1;
            if (parsed && !parts.comment && !request.mapping.empty()) {
                bool mapped = false;
                for (const auto& [name, target] : request.mapping) {
                    if (parts.interface == name) {
                        bus = target;
                        mapped = true;
                        break;
                    }
                }
                if (!mapped) continue;  // an interface not asked for
            }
            if (parsed) parsed = ParseLogFrame(parts, bus, &entry, &error);
            if (!parsed) {
                refused_.fetch_add(1, std::memory_order_relaxed);
                if (++refused <= static_cast<std::uint64_t>(kReportedErrors))
                    Note(request.path + ":" + std::to_string(lineNumber) + ": " + error);
                continue;
            }
            if (entry.kind == LogEntry::Kind::kNothing) continue;
            ++framesThisPass;

            if (!haveFirst) {
                haveFirst = true;
                firstUs = lastUs = entry.timeUs;
            }
            if (entry.timeUs < lastUs) {
                // Sent at once, in the order of the file.
                if (!backwardsReported) {
                    backwardsReported = true;
                    Note(request.path + ":" + std::to_string(lineNumber) + ": the time goes back by " +
                            Seconds(lastUs - entry.timeUs) + "; such frames are sent at once");
                }
            } else {
                const std::int64_t gapUs = entry.timeUs - lastUs;
                if (gapUs > kLongGapUs) {
                    if (request.skipGaps) skippedUs += gapUs;
                    if (!request.fast && ++gapsReported <= kReportedErrors)
                        Note(request.path + ":" + std::to_string(lineNumber) + ": a gap of " + Seconds(gapUs) +
                                (request.skipGaps ? " in the log's time, skipped"
                                                  : " in the log's time (replay ... skip-gaps does not wait)"));
                }
                lastUs = entry.timeUs;
                offsetUs = entry.timeUs - firstUs - skippedUs;
            }
            positionUs_.store(entry.timeUs - firstUs, std::memory_order_relaxed);

            ReplayedFrame frame{entry, 0};
            if (!request.fast) {
                frame.dueUs = passStartUs + offsetUs;
                if (frame.dueUs > SteadyUs() + gatherUs_) {
                    // What is due goes out before the wait.
                    if (!HandOver(&batch)) {
                        ended = true;
                        break;
                    }
                    std::unique_lock<std::mutex> guard(lock_);
                    changed_.wait_until(guard, Clock::time_point(std::chrono::microseconds(frame.dueUs)),
                                        [&] { return Stopping(); });
                    if (Stopping()) {
                        ended = true;
                        break;
                    }
                }
            }
            if (batch.size() >= maxBatch_ && !HandOver(&batch)) {
                ended = true;
                break;
            }
            batch.push_back(frame);
        }
        if (ended || Stopping() || !HandOver(&batch)) ended = true;
        // The next pass begins where this one ended; a file without frames
        // is not played again.
        passStartUs += offsetUs;
        if (framesThisPass == 0) break;
    }
    ::close(fd);
    std::string summary = "replay of " + request.path + ": " + std::to_string(frames_.load()) + " frames";
    if (refused > 0) summary += ", " + std::to_string(refused) + " lines refused";
    if (request.passes != 1) summary += ", " + std::to_string(pass) + (pass == 1 ? " pass" : " passes");
    if (readFailed) summary += "; reading the file failed: " + std::string(std::strerror(readError));
    // Done before the summary goes out: whoever reads it may start the next
    // replay at once.
    {
        std::lock_guard<std::mutex> guard(lock_);
        running_ = false;
        summary_ = summary;
        failed_ = readFailed || (frames_.load() == 0 && refused > 0);
    }
    changed_.notify_all();
    report_(summary);
}

}  // namespace gatewaysim
