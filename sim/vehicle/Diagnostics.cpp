#include "vehicle/Diagnostics.h"

#include "vehicle/NodeCommand.h"

namespace gatewaysim {

std::vector<std::uint8_t> DiagnosticPayload(const std::vector<Dtc>& lampsFrom, const std::vector<Dtc>& dtcs) {
    unsigned lit = 0;
    unsigned flashing = 0;
    for (const Dtc& dtc : lampsFrom) {
        lit |= dtc.lamps;
        flashing |= dtc.flashing & dtc.lamps;
    }
    // Two bits per lamp: MIL in bits 7-6, red stop 5-4, amber warning 3-2,
    // protect 1-0. Status 00 off, 01 on; flash 00 slow, 11 not flashing.
    const unsigned order[4] = {NodeCommand::kMil, NodeCommand::kRed, NodeCommand::kAmber, NodeCommand::kProtect};
    std::uint8_t status = 0;
    std::uint8_t flash = 0;
    for (int i = 0; i < 4; ++i) {
        const int shift = 6 - 2 * i;
        if (lit & order[i]) status |= static_cast<std::uint8_t>(1u << shift);
        if (!(flashing & order[i])) flash |= static_cast<std::uint8_t>(3u << shift);
    }
    // No active DTC: SPN 0, FMI 0, count 0, then the two unused bytes.
    if (dtcs.empty()) return {status, flash, 0, 0, 0, 0, 0xFF, 0xFF};
    std::vector<std::uint8_t> payload{status, flash};
    payload.reserve(2 + 4 * dtcs.size());
    for (const Dtc& dtc : dtcs) {
        payload.push_back(static_cast<std::uint8_t>(dtc.spn));
        payload.push_back(static_cast<std::uint8_t>(dtc.spn >> 8));
        payload.push_back(static_cast<std::uint8_t>(((dtc.spn >> 16) & 0x7) << 5 | (dtc.fmi & 0x1F)));
        payload.push_back(static_cast<std::uint8_t>(dtc.count & 0x7F));  // conversion method 0
    }
    while (payload.size() < 8) payload.push_back(0xFF);
    return payload;
}

}  // namespace gatewaysim
