// Thread rule: not synchronised; the simulator's worker thread only.
#pragma once

#include <array>
#include <cstdint>

#include "bus/Frames.h"
#include "services/Wire.h"

namespace gatewaysim {

// Bits that `frame` takes on the wire, counted as can-utils' canbusload
// counts them in its worst case: start of frame to end of frame and the
// 3-bit interframe space (47 + 8 n for a standard frame of n data bytes,
// 67 + 8 n for an extended one), plus the most stuff bits those fields can
// need (one after every four bits from the start of frame to the end of the
// checksum): 55 + 10 n and 80 + 10 n bits in all. A remote frame carries no
// data bytes, whatever its length code.
std::uint32_t CanFrameBits(const CanFrame& frame);

// The load of every CAN bus: the bits of its frames per second against its
// bit rate.
class BusLoad {
public:
    static constexpr std::uint32_t kDefaultBitrate = 250000;

    BusLoad() { bitrates_.fill(kDefaultBitrate); }
    void SetBitrate(std::uint8_t bus, std::uint32_t bitsPerSecond) { bitrates_[bus] = bitsPerSecond; }
    std::uint32_t Bitrate(std::uint8_t bus) const { return bitrates_[bus]; }

    // Counts a frame on its bus at `nowUs` (a monotonic microsecond count).
    // True when it began a new second of that bus (the time to look at the
    // bus's demand again).
    bool Observe(const CanFrame& frame, std::int64_t nowUs);
    // Percent of the bus's capacity that its frames took in the last whole
    // second before `nowUs`.
    double LoadPercent(std::uint8_t bus, std::int64_t nowUs) const;

private:
    struct Window {
        std::int64_t startUs = -1;  // of the current second; -1 before the first frame
        std::uint64_t bits = 0;     // in the current second
        std::uint64_t lastBits = 0; // in the second before it
    };
    std::array<std::uint32_t, kCanBusCount> bitrates_;
    std::array<Window, kCanBusCount> windows_;
};

}  // namespace gatewaysim
