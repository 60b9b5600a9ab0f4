// Thread rule: pure functions; safe from any thread.
#pragma once

#include <cstdint>

namespace gatewaysim {

// The nine fields of a J1939 NAME as applications hand them over, one plain
// number each. Values wider than their field are cut to the field's width.
struct NameFields {
    std::uint8_t arbitraryAddressCapable = 0;  // 1 bit
    std::uint8_t industryGroup = 0;            // 3 bits
    std::uint8_t vehicleSystemInstance = 0;    // 4 bits
    std::uint8_t vehicleSystem = 0;            // 7 bits
    std::uint32_t identityNumber = 0;          // 21 bits
    std::uint16_t manufacturerCode = 0;        // 11 bits
    std::uint8_t function = 0;                 // 8 bits
    std::uint8_t functionInstance = 0;         // 5 bits
    std::uint8_t ecuInstance = 0;              // 3 bits
};

// Packs the fields into the 64-bit NAME: identity number in bits 0-20,
// manufacturer code 21-31, ECU instance 32-34, function instance 35-39,
// function 40-47, bit 48 reserved (0), vehicle system 49-55, vehicle system
// instance 56-59, industry group 60-62, arbitrary address capable 63. In an
// address contest the numerically lower NAME wins.
std::uint64_t PackName(const NameFields& fields);
NameFields UnpackName(std::uint64_t name);

// Decodes the 16-byte NAME record of a CA creation request.
NameFields NameFromRecord(const std::uint8_t* record16);

// A J1939 message as it travels in one 29-bit CAN frame.
struct J1939Header {
    std::uint8_t priority = 6;      // 0 to 7
    std::uint32_t pgn = 0;          // 18 bits
    std::uint8_t source = 0;
    std::uint8_t destination = 255; // 255 for every PDU2 message
};

// True for PDU1 PGNs (PDU format below 240): their low byte carries the
// destination address, so the PGN itself has 0 there.
bool IsPdu1(std::uint32_t pgn);

// A PGN as it names a message: 18 bits, and the low byte of a PDU1 PGN 0
// (a TP.CM may carry the destination, or 255, there).
std::uint32_t NormalisePgn(std::uint32_t pgn);

// Brings a header to the form it has on the bus: a PDU1 PGN loses its low
// byte, a PDU2 message is addressed to 255.
J1939Header Normalise(J1939Header header);

// The 29-bit identifier of a (normalised) header, and back.
std::uint32_t ComposeId(const J1939Header& header);
J1939Header DecomposeId(std::uint32_t id29);

}  // namespace gatewaysim
