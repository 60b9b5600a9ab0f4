#include "logs/LogWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "logs/CandumpFormat.h"

namespace gatewaysim {

LogWriter::~LogWriter() {
    Close();
}

int LogWriter::Open(const std::string& path, bool append) {
    Close();
    int fd = STDOUT_FILENO;
    if (path != "-") {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd < 0) return errno != 0 ? -errno : -EIO;
    }
    struct stat status;
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (regular && status.st_size > 0 && !append) {
        // Never emptied without being asked to.
        if (fd != STDOUT_FILENO) ::close(fd);
        return -EEXIST;
    }
    fd_ = fd;
    ownsFd_ = fd != STDOUT_FILENO;
    regular_ = regular;
    size_ = regular ? status.st_size : 0;
    torn_ = false;
    return 0;
}

void LogWriter::Close() {
    if (fd_ < 0) return;
    if (ownsFd_) ::close(fd_);
    fd_ = -1;
    ownsFd_ = false;
}

void LogWriter::Write(std::int64_t wallTimeUs, const CanFrame& frame) {
    if (fd_ >= 0) Line(FormatCanLogLine(wallTimeUs, frame));
}

void LogWriter::Write(std::int64_t wallTimeUs, const J1708Frame& frame) {
    if (fd_ >= 0) Line(FormatJ1708LogLine(wallTimeUs, frame));
}

void LogWriter::Line(std::string line) {
    if (fd_ == STDOUT_FILENO && sink_) {
        if (!sink_(line)) ++failures_;
        return;
    }
    line += '\n';
    // After a torn line elsewhere than in a regular file, this one starts on
    // a line of its own.
    if (torn_) line.insert(line.begin(), '\n');
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == line.size()) {
        torn_ = false;
        if (regular_) size_ += static_cast<off_t>(done);
        return;
    }
    ++failures_;
    if (done == 0) return;
    // Part of the line went out: cut it off a regular file again.
    if (regular_ && ::ftruncate(fd_, size_) == 0) return;
    torn_ = true;
}

}  // namespace gatewaysim
