// Thread rule: stateless functions; safe from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace gatewaysim {

// CRC-32 as in IEEE 802.3 (reflected polynomial EDB88320, initial value and
// final complement FFFFFFFF), zlib's. Continue a running value by passing it
// back.
std::uint32_t Crc32(const std::uint8_t* data, std::size_t length, std::uint32_t running = 0);

struct FileSummary {
    int result = 0;           // 0, or a negative errno value
    std::uint32_t size = 0;   // bytes
    std::uint32_t crc = 0;    // CRC-32 of the whole file
};

// One version of a file: a file that is replaced or written to gets another.
struct FileVersion {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    bool operator==(const FileVersion& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modifiedNs == other.modifiedNs && changedNs == other.changedNs;
    }
};

// The current version of the regular file at `path`; false without one.
bool CurrentVersion(const std::string& path, FileVersion* version);

// Size and CRC-32 of a regular file; -EFBIG for files of 4 GiB or more.
// `*version` (when given) gets the version that was read: the one found on
// opening, or a default one when the file changed while it was read.
// -ECANCELED, early, once `*cancel` (when given) holds.
FileSummary SummariseFile(const std::string& path, FileVersion* version = nullptr,
                          const std::atomic<bool>* cancel = nullptr);

// Reads up to `capacity` bytes at `offset` into `out`. Returns the number of
// bytes read (0 at the end of the file), or a negative errno value: -ENOENT
// without the file, -EINVAL when `offset` lies past its end. `*fileSize` gets
// the file's size.
long ReadFileBlock(const std::string& path, std::uint32_t offset, std::uint8_t* out, std::size_t capacity,
                   std::uint32_t* fileSize);

}  // namespace gatewaysim
