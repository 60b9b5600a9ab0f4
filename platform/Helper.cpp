#include "Helper.h"

#include <cerrno>

#include "Clock.h"

namespace PlatformServices {
namespace Helper {

std::int64_t GetTicks() {
    return CurrentClock().NowMs();
}

int IntToArrayQuick(std::uint8_t* buffer, std::int64_t value, int widthBits, int xEndian) {
    if (buffer == nullptr || widthBits < 8 || widthBits > 64 || widthBits % 8 != 0) return -EINVAL;
    const int bytes = widthBits / 8;
    const auto bits = static_cast<std::uint64_t>(value);
    for (int i = 0; i < bytes; ++i) {
        const auto byte = static_cast<std::uint8_t>(bits >> (8 * i));
        buffer[xEndian == 1 ? i : bytes - 1 - i] = byte;
    }
    return bytes;
}

std::int32_t SplitString(const std::string& text, std::vector<std::string>& parts, char separator) {
    parts.clear();
    if (text.empty()) return 0;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = text.find(separator, begin);
        if (end == std::string::npos) {
            parts.emplace_back(text, begin);
            break;
        }
        parts.emplace_back(text, begin, end - begin);
        begin = end + 1;
    }
    return static_cast<std::int32_t>(parts.size());
}

}  // namespace Helper
}  // namespace PlatformServices
