#include "PluginFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace gatewaysim {

namespace {

struct Table {
    std::uint32_t entries[256];
    Table() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[i] = c;
        }
    }
};

// Opens a regular file for reading; its size in `*size`.
int OpenRegular(const std::string& path, std::uint64_t* size) {
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
    return fd;
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t length, std::uint32_t running) {
    static const Table table;
    std::uint32_t c = running ^ 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) c = table.entries[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

FileSummary SummariseFile(const std::string& path) {
    FileSummary summary;
    std::uint64_t size = 0;
    const int fd = OpenRegular(path, &size);
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
    ::close(fd);
    if (summary.result == 0 && total > 0xFFFFFFFFull) summary.result = -EFBIG;
    if (summary.result == 0) {
        summary.size = static_cast<std::uint32_t>(total);
        summary.crc = crc;
    }
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
