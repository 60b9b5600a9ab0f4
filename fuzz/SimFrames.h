// Thread rule: none; pure functions for the simulator's fuzz targets.
#pragma once

#include <cstring>

#include "logs/CandumpFormat.h"

namespace fuzzrig {

// Stops the run when a frame the simulator accepted breaks its own limits.
inline void CheckFrame(const gatewaysim::CanFrame& f) {
    if (f.bus > 4 || f.length > 8 || f.id > (f.extended ? 0x1FFFFFFFu : 0x7FFu)) __builtin_trap();
}

// A frame written in the tools' syntax must read back as the same frame.
inline void CheckRoundTrip(const gatewaysim::CanFrame& f) {
    CheckFrame(f);
    gatewaysim::CanFrame back;
    std::string error;
    if (!gatewaysim::ParseCanFrameText(gatewaysim::FormatCanFrame(f), &back, &error)) __builtin_trap();
    if (back.id != f.id || back.extended != f.extended || back.remote != f.remote || back.length != f.length ||
        std::memcmp(back.data, f.data, sizeof f.data) != 0)
        __builtin_trap();
}

}  // namespace fuzzrig
