#include "EventLog.h"

#include <cerrno>
#include <cstring>

namespace gatewaysim {

EventLog::~EventLog() {
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != nullptr) std::fclose(file_);
}

int EventLog::Open(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        const int code = errno;
        *error = "events file " + path + ": " + std::strerror(code);
        return -code;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = file;
    return 0;
}

void EventLog::Record(const report::Event& event) {
    const std::string line = report::FormatEvent(event) + "\n";
    std::lock_guard<std::mutex> guard(lock_);
    if (kept_.size() < kMaxKept) kept_.push_back(event);
    if (file_ == nullptr) return;
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0)
        ++writeFailures_;
}

std::vector<report::Event> EventLog::Events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return kept_;
}

std::size_t EventLog::WriteFailures() const {
    std::lock_guard<std::mutex> guard(lock_);
    return writeFailures_;
}

}  // namespace gatewaysim
