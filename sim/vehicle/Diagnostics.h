// Thread rule: pure functions and plain records; safe from any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace gatewaysim {

// One diagnostic trouble code of a simulated ECU, with the lamps it lights.
struct Dtc {
    std::uint32_t spn = 0;    // 19 bits
    std::uint8_t fmi = 0;     // 5 bits
    std::uint8_t count = 1;   // occurrence count, 0 to 126
    unsigned lamps = 0;       // NodeCommand::Lamp bits
    unsigned flashing = 0;    // of those, the lamps that flash (slowly)
};

// The payload of DM1 or DM2 (they share a layout): the lamp status and
// their flash state over `lampsFrom` (lit when one of them asks for it),
// then each DTC of `dtcs` in 4 bytes. With no DTC: the lamps, one DTC of
// zeros and 0xFF to 8 bytes; with one: padded with 0xFF to 8 bytes.
std::vector<std::uint8_t> DiagnosticPayload(const std::vector<Dtc>& lampsFrom, const std::vector<Dtc>& dtcs);

}  // namespace gatewaysim
