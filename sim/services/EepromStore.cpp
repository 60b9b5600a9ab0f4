#include "services/EepromStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace gatewaysim {

namespace {

constexpr std::size_t kMaxTransfer = 1024;

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int FsyncFolder(const std::string& path) {
    const int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int result = 0;
    if (::fsync(fd) < 0) result = -errno;
    ::close(fd);
    return result;
}

int WriteAll(int fd, const std::uint8_t* bytes, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, bytes + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) return -EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

EepromStore::EepromStore(std::string path, std::size_t size, int fileMode)
    : path_(std::move(path)), fileMode_(fileMode), bytes_(size, kErasedByte) {}

int EepromStore::ReadFile(const std::string& path, std::size_t* fileSize) {
    std::fill(bytes_.begin(), bytes_.end(), kErasedByte);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    struct stat status;
    int result = 0;
    if (::fstat(fd, &status) < 0) {
        result = -errno;
    } else if (!S_ISREG(status.st_mode)) {
        result = -EINVAL;
    } else {
        *fileSize = static_cast<std::size_t>(status.st_size);
        const std::size_t want = std::min<std::size_t>(bytes_.size(), *fileSize);
        std::size_t done = 0;
        while (done < want) {
            const ssize_t n = ::read(fd, bytes_.data() + done, want - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                result = -errno;
                break;
            }
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (result == 0 && done != want) result = -EIO;
    }
    ::close(fd);
    if (result != 0) std::fill(bytes_.begin(), bytes_.end(), kErasedByte);
    return result;
}

int EepromStore::Load() {
    std::size_t fileSize = 0;
    const int result = ReadFile(path_, &fileSize);
    if (result == -ENOENT) {
        state_ = kBlank;
        return 0;
    }
    if (result != 0) {
        state_ = kLoadFailed;
        return result;
    }
    state_ = fileSize == bytes_.size() ? kSaved : kModified;
    return 0;
}

int EepromStore::ReadScratch(const std::string& scratch, State state) {
    std::size_t fileSize = 0;
    const int result = ReadFile(scratch, &fileSize);
    if (result == 0 && fileSize == bytes_.size()) {
        state_ = state;
        return 0;
    }
    (void)Load();
    return result != 0 ? result : -EIO;
}

int EepromStore::WriteScratch(const std::string& scratch) const {
    return WriteFile(scratch);
}

int EepromStore::CheckRange(std::uint32_t address, std::int32_t length) const {
    if (length < 0 || static_cast<std::size_t>(length) > kMaxTransfer) return -EINVAL;
    if (address > bytes_.size() || static_cast<std::size_t>(length) > bytes_.size() - address) return -EFAULT;
    return 0;
}

int EepromStore::Read(std::uint32_t address, std::int32_t length, std::uint8_t* out) const {
    const int check = CheckRange(address, length);
    if (check != 0) return check;
    if (length > 0) std::memcpy(out, bytes_.data() + address, static_cast<std::size_t>(length));
    return 0;
}

int EepromStore::Write(std::uint32_t address, std::int32_t length, const std::uint8_t* data) {
    const int check = CheckRange(address, length);
    if (check != 0) return check;
    if (length > 0) {
        std::memcpy(bytes_.data() + address, data, static_cast<std::size_t>(length));
        state_ = kModified;
    }
    return 0;
}

// Writes the memory to "<path>.tmp", flushed to the disk, and renames it over `path`.
int EepromStore::WriteFile(const std::string& path) const {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(fileMode_));
    if (fd < 0) return -errno;
    int result = 0;
    // A file left by an earlier run keeps its mode through O_TRUNC: set it.
    if (::fchmod(fd, static_cast<mode_t>(fileMode_)) < 0) result = -errno;
    if (result == 0) result = WriteAll(fd, bytes_.data(), bytes_.size());
    if (result == 0 && ::fsync(fd) < 0) result = -errno;
    if (::close(fd) < 0 && result == 0) result = -errno;
    if (result == 0 && ::rename(temporary.c_str(), path.c_str()) < 0) result = -errno;
    if (result != 0) ::unlink(temporary.c_str());
    return result;
}

int EepromStore::Save() {
    int result = WriteFile(path_);
    // The rename is durable only once the folder is on the disk as well.
    if (result == 0) result = FsyncFolder(path_);
    state_ = result == 0 ? kSaved : kSaveFailed;
    return result;
}

int EepromStore::Destroy() {
    if (::unlink(path_.c_str()) < 0 && errno != ENOENT) return -errno;
    ::unlink((path_ + ".tmp").c_str());
    const int result = FsyncFolder(path_);
    std::fill(bytes_.begin(), bytes_.end(), kErasedByte);
    state_ = kBlank;
    return result;
}

}  // namespace gatewaysim
