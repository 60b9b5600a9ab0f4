#include "io/Replayer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace gatewaysim {

int Replayer::Start(const std::string& path, bool fast) {
    std::unique_lock<std::mutex> guard(lock_);
    if (running_) return -EBUSY;
    // The thread of a finished replay is joined before the next one starts.
    if (thread_.joinable()) {
        std::thread finished = std::move(thread_);
        guard.unlock();
        finished.join();
        guard.lock();
        if (running_ || thread_.joinable()) return -EBUSY;
    }
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) return errno != 0 ? -errno : -EIO;
    running_ = true;
    stop_ = false;
    try {
        thread_ = std::thread(&Replayer::Run, this, file, path, fast);
    } catch (const std::system_error& e) {
        running_ = false;
        std::fclose(file);
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

void Replayer::Run(std::FILE* file, std::string path, bool fast) {
    using Clock = std::chrono::steady_clock;
    char line[kMaxLineBytes + 2];
    std::uint64_t lineNumber = 0;
    std::uint64_t frames = 0;
    std::uint64_t refused = 0;
    bool haveFirst = false;
    std::int64_t firstUs = 0;
    const Clock::time_point start = Clock::now();
    while (std::fgets(line, sizeof(line), file) != nullptr) {
        ++lineNumber;
        std::size_t length = std::strlen(line);
        std::string error;
        LogEntry entry;
        bool parsed;
        if (length > 0 && line[length - 1] != '\n' && !std::feof(file)) {
            // Longer than any line of a log: skip to its end.
            int c;
            while ((c = std::fgetc(file)) != EOF && c != '\n') {
            }
            parsed = false;
            error = "line too long";
        } else {
            parsed = ParseLogLine(std::string_view(line, length), &entry, &error);
        }
        if (!parsed) {
            if (++refused <= kReportedErrors) report_(path + ":" + std::to_string(lineNumber) + ": " + error);
            continue;
        }
        if (entry.kind == LogEntry::Kind::kNothing) continue;

        if (!fast) {
            if (!haveFirst) {
                haveFirst = true;
                firstUs = entry.timeUs;
            }
            const std::int64_t offsetUs = entry.timeUs > firstUs ? entry.timeUs - firstUs : 0;
            const Clock::time_point due = start + std::chrono::microseconds(offsetUs);
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait_until(guard, due, [&] { return stop_; });
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stop_) break;
        }
        if (!sink_(entry, fast)) break;
        ++frames;
    }
    std::fclose(file);
    std::string summary = "replay of " + path + ": " + std::to_string(frames) + " frames";
    if (refused > 0) summary += ", " + std::to_string(refused) + " lines refused";
    // Done before the summary goes out: whoever reads it may start the next
    // replay at once.
    {
        std::lock_guard<std::mutex> guard(lock_);
        running_ = false;
    }
    changed_.notify_all();
    report_(summary);
}

}  // namespace gatewaysim
