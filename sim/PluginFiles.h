// Thread rule: stateless functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gatewaysim {

// CRC-32 as in IEEE 802.3 (reflected polynomial EDB88320, initial value and
// final complement FFFFFFFF). Continue a running value by passing it back.
std::uint32_t Crc32(const std::uint8_t* data, std::size_t length, std::uint32_t running = 0);

struct FileSummary {
    int result = 0;           // 0, or a negative errno value
    std::uint32_t size = 0;   // bytes
    std::uint32_t crc = 0;    // CRC-32 of the whole file
};

// Size and CRC-32 of a regular file; -EFBIG for files of 4 GiB or more.
FileSummary SummariseFile(const std::string& path);

// Reads up to `capacity` bytes at `offset` into `out`. Returns the number of
// bytes read (0 at the end of the file), or a negative errno value: -ENOENT
// without the file, -EINVAL when `offset` lies past its end. `*fileSize` gets
// the file's size.
long ReadFileBlock(const std::string& path, std::uint32_t offset, std::uint8_t* out, std::size_t capacity,
                   std::uint32_t* fileSize);

}  // namespace gatewaysim
