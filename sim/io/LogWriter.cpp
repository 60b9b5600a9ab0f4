#include "io/LogWriter.h"

#include <cerrno>

#include "io/CandumpFormat.h"

namespace gatewaysim {

LogWriter::~LogWriter() {
    Close();
}

int LogWriter::Open(const std::string& path) {
    Close();
    if (path == "-") {
        file_ = stdout;
        ownsFile_ = false;
        return 0;
    }
    file_ = std::fopen(path.c_str(), "we");
    if (file_ == nullptr) return errno != 0 ? -errno : -EIO;
    ownsFile_ = true;
    return 0;
}

void LogWriter::Close() {
    if (file_ == nullptr) return;
    if (ownsFile_) {
        std::fclose(file_);
    } else {
        std::fflush(file_);
    }
    file_ = nullptr;
    ownsFile_ = false;
}

void LogWriter::Write(std::int64_t wallTimeUs, const CanFrame& frame) {
    if (file_ != nullptr) Line(FormatCanLogLine(wallTimeUs, frame));
}

void LogWriter::Write(std::int64_t wallTimeUs, const J1708Frame& frame) {
    if (file_ != nullptr) Line(FormatJ1708LogLine(wallTimeUs, frame));
}

void LogWriter::Line(const std::string& line) {
    if (std::fputs(line.c_str(), file_) < 0 || std::fputc('\n', file_) == EOF || std::fflush(file_) != 0)
        ++failures_;
}

}  // namespace gatewaysim
