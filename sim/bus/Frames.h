// Thread rule: plain value records; safe to copy between threads.
#pragma once

#include <cstdint>

namespace gatewaysim {

// Buses 0 to 4 carry CAN; the single J1708 bus has no number.
constexpr int kCanBusCount = 5;

// One classic CAN frame on one of the simulated buses.
struct CanFrame {
    std::uint8_t bus = 0;        // 0 to 4
    bool extended = false;       // 29-bit identifier
    bool remote = false;         // remote request: no data, `length` is the requested DLC
    std::uint8_t length = 0;     // 0 to 8
    std::uint32_t id = 0;        // 11 or 29 bits
    std::uint8_t data[8] = {};   // bytes beyond `length` are zero
};

// One frame on the J1708 bus: the MID, the data bytes and the checksum.
struct J1708Frame {
    std::uint8_t mid = 0;
    std::uint8_t length = 0;     // data bytes after the MID, at most 19
    std::uint8_t data[19] = {};
    std::uint8_t checksum = 0;   // two's complement of the sum of MID and data
};

// Two's complement of the byte sum: the sum of every frame byte and the
// checksum is 0 modulo 256.
inline std::uint8_t J1708Checksum(std::uint8_t mid, const std::uint8_t* data, std::uint8_t length) {
    unsigned sum = mid;
    for (std::uint8_t i = 0; i < length; ++i) sum += data[i];
    return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

// Who put a frame on a bus; the sender of a frame never receives it back.
struct Origin {
    enum class Kind { kApplication, kJ1939, kOperator, kReplay, kTool };
    Kind kind = Kind::kOperator;
    // The application, for kApplication and kJ1939; for kTool (a CAN tool
    // connected over socketcand) its connection number.
    std::int32_t address = 0;
};

}  // namespace gatewaysim
