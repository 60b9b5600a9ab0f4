#include "j1939/J1939Codec.h"

#include "services/Wire.h"

namespace gatewaysim {

std::uint64_t PackName(const NameFields& f) {
    std::uint64_t name = 0;
    name |= static_cast<std::uint64_t>(f.identityNumber & 0x1FFFFFu);
    name |= static_cast<std::uint64_t>(f.manufacturerCode & 0x7FFu) << 21;
    name |= static_cast<std::uint64_t>(f.ecuInstance & 0x7u) << 32;
    name |= static_cast<std::uint64_t>(f.functionInstance & 0x1Fu) << 35;
    name |= static_cast<std::uint64_t>(f.function) << 40;
    name |= static_cast<std::uint64_t>(f.vehicleSystem & 0x7Fu) << 49;
    name |= static_cast<std::uint64_t>(f.vehicleSystemInstance & 0xFu) << 56;
    name |= static_cast<std::uint64_t>(f.industryGroup & 0x7u) << 60;
    name |= static_cast<std::uint64_t>(f.arbitraryAddressCapable & 0x1u) << 63;
    return name;
}

NameFields UnpackName(std::uint64_t name) {
    NameFields f;
    f.identityNumber = static_cast<std::uint32_t>(name & 0x1FFFFFu);
    f.manufacturerCode = static_cast<std::uint16_t>((name >> 21) & 0x7FFu);
    f.ecuInstance = static_cast<std::uint8_t>((name >> 32) & 0x7u);
    f.functionInstance = static_cast<std::uint8_t>((name >> 35) & 0x1Fu);
    f.function = static_cast<std::uint8_t>((name >> 40) & 0xFFu);
    f.vehicleSystem = static_cast<std::uint8_t>((name >> 49) & 0x7Fu);
    f.vehicleSystemInstance = static_cast<std::uint8_t>((name >> 56) & 0xFu);
    f.industryGroup = static_cast<std::uint8_t>((name >> 60) & 0x7u);
    f.arbitraryAddressCapable = static_cast<std::uint8_t>((name >> 63) & 0x1u);
    return f;
}

NameFields NameFromRecord(const std::uint8_t* r) {
    NameFields f;
    f.arbitraryAddressCapable = r[0];
    f.industryGroup = r[1];
    f.vehicleSystemInstance = r[2];
    f.vehicleSystem = r[3];
    f.identityNumber = GetU32(r + 4);
    f.manufacturerCode = GetU16(r + 8);
    f.function = r[10];
    f.functionInstance = r[11];
    f.ecuInstance = r[12];
    return f;
}

bool IsPdu1(std::uint32_t pgn) {
    return ((pgn >> 8) & 0xFFu) < 240;
}

std::uint32_t NormalisePgn(std::uint32_t pgn) {
    pgn &= 0x3FFFFu;
    return IsPdu1(pgn) ? pgn & 0x3FF00u : pgn;
}

J1939Header Normalise(J1939Header h) {
    h.priority &= 0x7;
    h.pgn = NormalisePgn(h.pgn);
    if (!IsPdu1(h.pgn)) h.destination = j1939::kGlobalAddress;
    return h;
}

std::uint32_t ComposeId(const J1939Header& header) {
    const J1939Header h = Normalise(header);
    const std::uint32_t ps = IsPdu1(h.pgn) ? h.destination : (h.pgn & 0xFFu);
    return (static_cast<std::uint32_t>(h.priority) << 26) | ((h.pgn & 0x3FF00u) << 8) | (ps << 8) |
           h.source;
}

J1939Header DecomposeId(std::uint32_t id) {
    J1939Header h;
    h.priority = static_cast<std::uint8_t>((id >> 26) & 0x7u);
    h.source = static_cast<std::uint8_t>(id & 0xFFu);
    const std::uint32_t ps = (id >> 8) & 0xFFu;
    const std::uint32_t upper = (id >> 8) & 0x3FF00u;  // data page bits and PDU format
    if (IsPdu1(upper)) {
        h.pgn = upper;
        h.destination = static_cast<std::uint8_t>(ps);
    } else {
        h.pgn = upper | ps;
        h.destination = j1939::kGlobalAddress;
    }
    return h;
}

}  // namespace gatewaysim
