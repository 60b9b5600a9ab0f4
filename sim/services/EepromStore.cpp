#include "services/EepromStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace gatewaysim {

namespace {

constexpr std::size_t kMaxTransfer = 1024;

// The journal: magic, the memory's size (u64), the page size and the number
// of pages (u32 each), then per page its index (u32) and its bytes (the last
// page of the memory may be short), then the CRC-32 of all that (u32); all
// in the machine's byte order.
constexpr char kJournalMagic[8] = {'E', 'E', 'J', 'O', 'U', 'R', 'N', '1'};
constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kJournalHeaderBytes = sizeof kJournalMagic + 8 + 4 + 4;
// A save goes through the journal while it changed at most this share of
// the memory.
constexpr std::size_t kJournalShareDivisor = 4;

template <typename T>
void Put(std::vector<std::uint8_t>& out, T value) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

template <typename T>
bool Take(const std::vector<std::uint8_t>& in, std::size_t* at, T* value) {
    if (in.size() - *at < sizeof *value) return false;
    std::memcpy(value, in.data() + *at, sizeof *value);
    *at += sizeof *value;
    return true;
}

std::uint32_t Crc(const std::uint8_t* data, std::size_t length) {
    return static_cast<std::uint32_t>(::crc32_z(::crc32_z(0, nullptr, 0), data, length));
}

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

// Reads exactly `length` bytes: 0, a negative errno value, or -EIO when the
// file ends first.
int ReadAll(int fd, std::uint8_t* bytes, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, bytes + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) return -EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// Writes all of `bytes` at `offset`, or at the file's position when it is negative.
int WriteAll(int fd, const std::uint8_t* bytes, std::size_t length, off_t offset = -1) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = offset < 0 ? ::write(fd, bytes + done, length - done)
                                     : ::pwrite(fd, bytes + done, length - done,
                                                offset + static_cast<off_t>(done));
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
    : path_(std::move(path)),
      fileMode_(fileMode),
      bytes_(size, kErasedByte),
      changed_((size + kPageBytes - 1) / kPageBytes, false) {}

void EepromStore::MarkChanged(std::size_t first, std::size_t end) {
    for (std::size_t page = first / kPageBytes; page * kPageBytes < end; ++page) {
        if (!changed_[page]) {
            changed_[page] = true;
            ++changedPages_;
        }
    }
}

void EepromStore::ForgetChanges(bool fileInStep) {
    std::fill(changed_.begin(), changed_.end(), false);
    changedPages_ = 0;
    fileInStep_ = fileInStep;
}

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
        result = ReadAll(fd, bytes_.data(), std::min<std::size_t>(bytes_.size(), *fileSize));
    }
    ::close(fd);
    if (result != 0) std::fill(bytes_.begin(), bytes_.end(), kErasedByte);
    return result;
}

int EepromStore::Load() {
    std::size_t fileSize = 0;
    const int result = ReadFile(path_, &fileSize);
    ForgetChanges(false);
    if (result == -ENOENT) {
        state_ = kBlank;
        return 0;
    }
    if (result != 0) {
        state_ = kLoadFailed;
        return result;
    }
    state_ = fileSize == bytes_.size() ? kSaved : kModified;
    if (state_ == kSaved) {
        fileInStep_ = true;
        ApplyJournal();
    }
    return 0;
}

void EepromStore::ApplyJournal() {
    const int fd = ::open((path_ + ".journal").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    // Never more than a whole memory's pages with their indexes.
    const std::size_t pages = changed_.size();
    const std::size_t limit = kJournalHeaderBytes + pages * 4 + bytes_.size() + 4;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        static_cast<std::size_t>(status.st_size) > limit ||
        static_cast<std::size_t>(status.st_size) < kJournalHeaderBytes + 4) {
        ::close(fd);
        return;
    }
    std::vector<std::uint8_t> journal(static_cast<std::size_t>(status.st_size));
    const int read = ReadAll(fd, journal.data(), journal.size());
    ::close(fd);
    if (read != 0) return;
    const std::size_t length = journal.size();
    std::uint32_t crc = 0;
    std::memcpy(&crc, journal.data() + length - 4, 4);
    if (Crc(journal.data(), length - 4) != crc || std::memcmp(journal.data(), kJournalMagic, 8) != 0) return;
    journal.resize(length - 4);
    std::size_t at = sizeof kJournalMagic;
    std::uint64_t size = 0;
    std::uint32_t pageBytes = 0;
    std::uint32_t count = 0;
    if (!Take(journal, &at, &size) || !Take(journal, &at, &pageBytes) || !Take(journal, &at, &count) ||
        size != bytes_.size() || pageBytes != kPageBytes || count > pages)
        return;
    // Checked whole before any page is applied.
    std::vector<std::pair<std::size_t, std::size_t>> entries;  // page, offset in the journal
    for (std::uint32_t k = 0; k < count; ++k) {
        std::uint32_t page = 0;
        if (!Take(journal, &at, &page) || page >= pages) return;
        const std::size_t bytes = std::min(kPageBytes, bytes_.size() - page * kPageBytes);
        if (journal.size() - at < bytes) return;
        entries.emplace_back(page, at);
        at += bytes;
    }
    if (at != journal.size()) return;
    for (const auto& [page, offset] : entries) {
        const std::size_t first = page * kPageBytes;
        const std::size_t bytes = std::min(kPageBytes, bytes_.size() - first);
        std::memcpy(bytes_.data() + first, journal.data() + offset, bytes);
        // The file may not hold them yet: the next save writes them again.
        MarkChanged(first, first + bytes);
    }
}

int EepromStore::ReadScratch(const std::string& scratch, State state) {
    std::size_t fileSize = 0;
    const int result = ReadFile(scratch, &fileSize);
    if (result == 0 && fileSize == bytes_.size()) {
        state_ = state;
        ForgetChanges(false);  // how the file stands to these bytes is not known
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
        MarkChanged(address, address + static_cast<std::size_t>(length));
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
    int result = 0;
    if (fileInStep_ && changedPages_ == 0) {
        // The file holds these bytes already.
    } else if (fileInStep_ && changedPages_ * kPageBytes <= bytes_.size() / kJournalShareDivisor) {
        result = SaveChangedPages();
    } else {
        // A journal is applied to the file it was written for only. Removed
        // before the new file is written: should the removal not reach the
        // disk, the journal is one the old file holds already.
        if (::unlink((path_ + ".journal").c_str()) < 0 && errno != ENOENT) result = -errno;
        if (result == 0) result = WriteFile(path_);
        // The rename is durable only once the folder is on the disk as well.
        if (result == 0) result = FsyncFolder(path_);
    }
    if (result == 0) ForgetChanges(true);
    state_ = result == 0 ? kSaved : kSaveFailed;
    return result;
}

int EepromStore::SaveChangedPages() {
    std::vector<std::uint8_t> journal;
    journal.reserve(kJournalHeaderBytes + changedPages_ * (4 + kPageBytes) + 4);
    journal.insert(journal.end(), std::begin(kJournalMagic), std::end(kJournalMagic));
    Put(journal, static_cast<std::uint64_t>(bytes_.size()));
    Put(journal, static_cast<std::uint32_t>(kPageBytes));
    Put(journal, static_cast<std::uint32_t>(changedPages_));
    for (std::size_t page = 0; page < changed_.size(); ++page) {
        if (!changed_[page]) continue;
        const std::size_t first = page * kPageBytes;
        Put(journal, static_cast<std::uint32_t>(page));
        journal.insert(journal.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(first),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(std::min(first + kPageBytes, bytes_.size())));
    }
    Put(journal, Crc(journal.data(), journal.size()));

    // The journal is on the disk, its name in the folder included, before
    // the file is touched.
    const std::string journalPath = path_ + ".journal";
    bool created = false;
    int fd = ::open(journalPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        created = true;
        fd = ::open(journalPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(fileMode_));
    }
    if (fd < 0) return -errno;
    int result = 0;
    if (created && ::fchmod(fd, static_cast<mode_t>(fileMode_)) < 0) result = -errno;
    if (result == 0) result = WriteAll(fd, journal.data(), journal.size());
    if (result == 0 && ::fdatasync(fd) < 0) result = -errno;
    if (::close(fd) < 0 && result == 0) result = -errno;
    if (result == 0 && created) result = FsyncFolder(path_);
    if (result != 0) return result;  // the file is as it was

    fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) result = -errno;
    for (std::size_t page = 0; result == 0 && page < changed_.size(); ++page) {
        if (!changed_[page]) continue;
        const std::size_t first = page * kPageBytes;
        result = WriteAll(fd, bytes_.data() + first, std::min(kPageBytes, bytes_.size() - first),
                          static_cast<off_t>(first));
    }
    if (fd >= 0 && result == 0 && ::fdatasync(fd) < 0) result = -errno;
    if (fd >= 0 && ::close(fd) < 0 && result == 0) result = -errno;
    // The file may be part way: the journal completes it when it is loaded,
    // and the next save writes the whole memory.
    if (result != 0) fileInStep_ = false;
    return result;
}

int EepromStore::Destroy() {
    if (::unlink((path_ + ".journal").c_str()) < 0 && errno != ENOENT) return -errno;
    if (::unlink(path_.c_str()) < 0 && errno != ENOENT) return -errno;
    ::unlink((path_ + ".tmp").c_str());
    ForgetChanges(false);
    const int result = FsyncFolder(path_);
    std::fill(bytes_.begin(), bytes_.end(), kErasedByte);
    state_ = kBlank;
    return result;
}

}  // namespace gatewaysim
