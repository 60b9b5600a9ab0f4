#include "services/PluginFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

namespace gatewaysim {

namespace {

FileVersion VersionOf(const struct stat& status) {
    FileVersion version;
    version.device = static_cast<std::uint64_t>(status.st_dev);
    version.inode = static_cast<std::uint64_t>(status.st_ino);
    version.size = static_cast<std::int64_t>(status.st_size);
    version.modifiedNs = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    version.changedNs = static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1'000'000'000 + status.st_ctim.tv_nsec;
    return version;
}

// Opens a regular file for reading; its size in `*size`, its version in
// `*version` when given.
int OpenRegular(const std::string& path, std::uint64_t* size, FileVersion* version = nullptr) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not block us
    if (fd < 0) return -errno;
    struct stat status;
    int error = 0;
    if (::fstat(fd, &status) < 0) {
        error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        error = EINVAL;
    }
    if (error != 0) {
        ::close(fd);
        return -error;
    }
    *size = static_cast<std::uint64_t>(status.st_size);
    if (version != nullptr) *version = VersionOf(status);
    return fd;
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t length, std::uint32_t running) {
    return static_cast<std::uint32_t>(::crc32_z(running, data, length));
}

bool CurrentVersion(const std::string& path, FileVersion* version) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    *version = VersionOf(status);
    return true;
}

FileSummary SummariseFile(const std::string& path, FileVersion* version, const std::atomic<bool>* cancel) {
    FileSummary summary;
    std::uint64_t size = 0;
    FileVersion opened;
    const int fd = OpenRegular(path, &size, &opened);
    if (fd < 0) {
        summary.result = fd;
        return summary;
    }
    if (size > 0xFFFFFFFFull) {
        ::close(fd);
        summary.result = -EFBIG;
        return summary;
    }
    std::uint8_t buffer[64 * 1024];
    std::uint32_t crc = 0;
    std::uint64_t total = 0;
    for (;;) {
        if (cancel != nullptr && cancel->load()) {
            summary.result = -ECANCELED;
            break;
        }
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR) continue;
            summary.result = -errno;
            break;
        }
        if (n == 0) break;
        crc = Crc32(buffer, static_cast<std::size_t>(n), crc);
        total += static_cast<std::uint64_t>(n);
    }
    struct stat after;
    const bool unchanged = ::fstat(fd, &after) == 0 && VersionOf(after) == opened;
    ::close(fd);
    if (summary.result == 0 && total > 0xFFFFFFFFull) summary.result = -EFBIG;
    if (summary.result == 0) {
        summary.size = static_cast<std::uint32_t>(total);
        summary.crc = crc;
    }
    if (version != nullptr) *version = unchanged ? opened : FileVersion{};
    return summary;
}

long ReadFileBlock(const std::string& path, std::uint32_t offset, std::uint8_t* out, std::size_t capacity,
                   std::uint32_t* fileSize) {
    *fileSize = 0;
    std::uint64_t size = 0;
    const int fd = OpenRegular(path, &size);
    if (fd < 0) return fd;
    if (size > 0xFFFFFFFFull) {
        ::close(fd);
        return -EFBIG;
    }
    *fileSize = static_cast<std::uint32_t>(size);
    if (offset > size) {
        ::close(fd);
        return -EINVAL;
    }
    std::size_t done = 0;
    long result = 0;
    while (done < capacity) {
        const ssize_t n = ::pread(fd, out + done, capacity - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            result = -errno;
            break;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return result < 0 ? result : static_cast<long>(done);
}

}  // namespace gatewaysim
