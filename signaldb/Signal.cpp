// Raw bits in payloads and their physical values.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "SignalDatabase.h"

namespace signaldb {
namespace {

constexpr std::uint64_t Mask(std::uint32_t bits) {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

}  // namespace

namespace {

// The digits after the point that a scale written in decimal needs.
int DecimalsOf(double x) {
    x = std::fabs(x);
    for (int d = 0; d <= 15; ++d) {
        const double scaled = x * std::pow(10.0, d);
        if (std::fabs(scaled - std::round(scaled)) <= 1e-9 * std::max(1.0, scaled)) return d;
    }
    return -1;
}

}  // namespace

std::string FormatDecimal(double value, int decimals) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[400];  // the longest fixed form of a double is 300-odd characters
    std::to_chars_result result;
    if (decimals >= 0) {
        result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    } else {
        result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    }
    if (result.ec != std::errc()) return "nan";
    std::string text(buffer, result.ptr);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    if (text == "-0") text = "0";
    return text;
}

void Signal::Prepare() {
    if (valueType != ValueType::kInteger) {
        decimals_ = -1;
    } else {
        const int f = DecimalsOf(factor), o = DecimalsOf(offset);
        decimals_ = f < 0 || o < 0 ? -1 : std::max(f, o);
    }
    if (length == 0) {
        firstByte_ = endByte_ = startBit / 8;
        return;
    }
    firstByte_ = startBit / 8;
    if (byteOrder == ByteOrder::kIntel) {
        endByte_ = (std::size_t{startBit} + length - 1) / 8 + 1;
    } else {
        const std::uint32_t inFirst = startBit % 8 + 1;
        endByte_ = firstByte_ + 1 + (length > inFirst ? (length - inFirst + 7) / 8 : 0);
    }
}

bool Signal::Extract(const std::uint8_t* payload, std::size_t size, std::uint64_t* raw) const {
    if (length == 0 || endByte_ > size) return false;
    std::uint64_t value = 0;
    if (byteOrder == ByteOrder::kIntel) {
        std::uint32_t got = 0;
        std::uint32_t pos = startBit;
        while (got < length) {
            const std::uint32_t bit = pos % 8;
            const std::uint32_t take = std::min(8 - bit, length - got);
            value |= ((std::uint64_t{payload[pos / 8]} >> bit) & Mask(take)) << got;
            got += take;
            pos += take;
        }
    } else {
        std::uint32_t remaining = length;
        std::size_t byte = firstByte_;
        std::uint32_t top = startBit % 8;  // the highest bit still to read in `byte`
        while (remaining > 0) {
            const std::uint32_t take = std::min(top + 1, remaining);
            value = (value << take) | ((std::uint64_t{payload[byte]} >> (top + 1 - take)) & Mask(take));
            remaining -= take;
            ++byte;
            top = 7;
        }
    }
    *raw = value;
    return true;
}

bool Signal::Insert(std::uint64_t raw, std::uint8_t* payload, std::size_t size) const {
    if (length == 0 || endByte_ > size) return false;
    raw &= Mask(length);
    if (byteOrder == ByteOrder::kIntel) {
        std::uint32_t put = 0;
        std::uint32_t pos = startBit;
        while (put < length) {
            const std::uint32_t bit = pos % 8;
            const std::uint32_t take = std::min(8 - bit, length - put);
            const auto mask = static_cast<std::uint8_t>(Mask(take) << bit);
            const auto bits = static_cast<std::uint8_t>(((raw >> put) & Mask(take)) << bit);
            payload[pos / 8] = static_cast<std::uint8_t>((payload[pos / 8] & ~mask) | bits);
            put += take;
            pos += take;
        }
    } else {
        std::uint32_t remaining = length;
        std::size_t byte = firstByte_;
        std::uint32_t top = startBit % 8;
        while (remaining > 0) {
            const std::uint32_t take = std::min(top + 1, remaining);
            const std::uint32_t shift = top + 1 - take;
            const auto mask = static_cast<std::uint8_t>(Mask(take) << shift);
            const auto bits = static_cast<std::uint8_t>(((raw >> (remaining - take)) & Mask(take)) << shift);
            payload[byte] = static_cast<std::uint8_t>((payload[byte] & ~mask) | bits);
            remaining -= take;
            ++byte;
            top = 7;
        }
    }
    return true;
}

double Signal::RawNumber(std::uint64_t raw) const {
    raw &= Mask(length);
    if (valueType == ValueType::kFloat && length == 32) {
        const auto bits = static_cast<std::uint32_t>(raw);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    if (valueType == ValueType::kDouble && length == 64) {
        double d;
        std::memcpy(&d, &raw, sizeof d);
        return d;
    }
    if (isSigned && length > 0 && (raw >> (length - 1)) & 1) {
        const std::uint64_t extended = raw | ~Mask(length);
        return static_cast<double>(static_cast<std::int64_t>(extended));
    }
    return static_cast<double>(raw);
}

double Signal::ToPhysical(std::uint64_t raw) const { return RawNumber(raw) * factor + offset; }

std::uint64_t Signal::ToRawBits(double number) const {
    if (valueType == ValueType::kFloat && length == 32) {
        const auto f = static_cast<float>(number);
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        return bits;
    }
    if (valueType == ValueType::kDouble && length == 64) {
        std::uint64_t bits;
        std::memcpy(&bits, &number, sizeof bits);
        return bits;
    }
    if (std::isnan(number)) return 0;
    number = std::round(number);  // halves away from zero
    if (isSigned) {
        const double low = -std::ldexp(1.0, static_cast<int>(length) - 1);
        const double high = std::ldexp(1.0, static_cast<int>(length) - 1);  // excluded
        std::int64_t value;
        if (number <= low) {
            value = length >= 64 ? std::numeric_limits<std::int64_t>::min() : -(std::int64_t{1} << (length - 1));
        } else if (number >= high) {
            value = length >= 64 ? std::numeric_limits<std::int64_t>::max() : (std::int64_t{1} << (length - 1)) - 1;
        } else {
            value = static_cast<std::int64_t>(number);
        }
        return static_cast<std::uint64_t>(value) & Mask(length);
    }
    if (number <= 0) return 0;
    if (number >= std::ldexp(1.0, static_cast<int>(length))) return Mask(length);
    return static_cast<std::uint64_t>(number);
}

std::uint64_t Signal::ToRaw(double physical) const {
    if (minimum < maximum) physical = std::clamp(physical, minimum, maximum);
    const double number = factor != 0.0 ? (physical - offset) / factor : 0.0;
    return ToRawBits(number);
}

const std::string* Signal::ValueName(std::uint64_t raw) const {
    if (valueNames.empty()) return nullptr;
    raw &= Mask(length);
    std::int64_t key = static_cast<std::int64_t>(raw);
    if (isSigned && valueType == ValueType::kInteger && length > 0 && length < 64 && (raw >> (length - 1)) & 1) {
        key = static_cast<std::int64_t>(raw | ~Mask(length));
    }
    const auto it = std::lower_bound(valueNames.begin(), valueNames.end(), key,
                                     [](const NamedValue& v, std::int64_t k) { return v.raw < k; });
    if (it != valueNames.end() && it->raw == key) return &it->name;
    // A file may give a signed signal's negative values as their unsigned bits.
    if (key != static_cast<std::int64_t>(raw)) {
        for (const auto& v : valueNames) {
            if (static_cast<std::uint64_t>(v.raw) == raw) return &v.name;
        }
    }
    return nullptr;
}

std::optional<double> Signal::PhysicalOfName(std::string_view wanted) const {
    for (const auto& v : valueNames) {
        if (v.name == wanted) return static_cast<double>(v.raw) * factor + offset;
    }
    return std::nullopt;
}

std::optional<double> Signal::ParseValue(std::string_view text) const {
    if (auto named = PhysicalOfName(text)) return named;
    if (text.empty()) return std::nullopt;
    std::string_view digits = text;
    if (digits.front() == '+') digits.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace signaldb
