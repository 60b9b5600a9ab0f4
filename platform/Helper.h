// Thread rule: every function here may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <customapp/VersionInfo.h>

namespace PlatformServices {
namespace Helper {

// Monotonic milliseconds from the installed clock (Clock.h).
std::int64_t GetTicks();

// Writes the low `widthBits` bits of `value` into `buffer` as widthBits/8
// bytes: little-endian when `xEndian` is 1, big-endian otherwise. Returns the
// number of bytes written, or -22 for a null buffer or a width that is not 8,
// 16, 24, 32, 40, 48, 56 or 64.
int IntToArrayQuick(std::uint8_t* buffer, std::int64_t value, int widthBits, int xEndian);

// Replaces the contents of `parts` with the pieces of `text` between
// `separator` characters, empty pieces included ("a,,b" gives "a", "", "b";
// "" gives no piece). Returns the number of pieces.
std::int32_t SplitString(const std::string& text, std::vector<std::string>& parts, char separator);

}  // namespace Helper
}  // namespace PlatformServices
