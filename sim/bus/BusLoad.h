// Thread rule: not synchronised; the simulator's worker thread only.
#pragma once

#include <array>
#include <cstdint>

#include "bus/Frames.h"

namespace gatewaysim {

// Bits that `frame` takes on the wire at most, counted as can-utils'
// canbusload counts them in its worst case: start of frame to end of frame
// and the 3-bit interframe space (47 + 8 n for a standard frame of n data
// bytes, 67 + 8 n for an extended one), plus the most stuff bits those
// fields can need (one after every four bits from the start of frame to the
// end of the checksum): 55 + 10 n and 80 + 10 n bits in all. A remote frame
// carries no data bytes, whatever its length code. What the cyclic frames
// ask of a bus is counted so; the wire itself takes a frame's actual bits
// (CanWireBits).
std::uint32_t CanFrameBits(const CanFrame& frame);

// The load of every CAN bus, measured on the wire: the share of each whole
// second during which a frame occupied the bus. A bus without a bit rate
// (kUnlimited) takes every frame at once; it counts its frames only.
class BusLoad {
public:
    static constexpr std::uint32_t kDefaultBitrate = 250000;
    static constexpr std::uint32_t kUnlimited = 0;

    BusLoad() { bitrates_.fill(kDefaultBitrate); }
    void SetBitrate(std::uint8_t bus, std::uint32_t bitsPerSecond) { bitrates_[bus] = bitsPerSecond; }
    std::uint32_t Bitrate(std::uint8_t bus) const { return bitrates_[bus]; }

    // Counts a frame that occupied `bus` from `startUs` to `endUs` (a
    // monotonic microsecond count; equal on an unlimited bus). True when it
    // began a new second of that bus (the time to look at its demand again).
    bool Observe(std::uint8_t bus, std::int64_t startUs, std::int64_t endUs);
    // Percent of the last whole second before `nowUs` during which the bus
    // was occupied: 0 to 100.
    double LoadPercent(std::uint8_t bus, std::int64_t nowUs) const;
    // Frames that ended in the last whole second before `nowUs`.
    std::uint64_t FramesLastSecond(std::uint8_t bus, std::int64_t nowUs) const;

private:
    struct Window {
        std::int64_t startUs = -1;   // of the current second; -1 before the first frame
        std::int64_t busyUs = 0;     // in the current second
        std::int64_t lastBusyUs = 0; // in the second before it
        std::uint64_t frames = 0;
        std::uint64_t lastFrames = 0;
    };
    // The window's figures for the last whole second before `nowUs`.
    const Window* LastSecond(std::uint8_t bus, std::int64_t nowUs, bool* current) const;
    std::array<std::uint32_t, kCanBusCount> bitrates_;
    std::array<Window, kCanBusCount> windows_;
};

}  // namespace gatewaysim
