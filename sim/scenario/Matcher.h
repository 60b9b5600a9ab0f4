// Thread rule: patterns are plain values, safe to share once built; a
// J1939Assembler belongs to one thread at a time (its owner locks it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bus/Frames.h"

namespace gatewaysim {

// The bytes a frame or a message must carry: each byte compared under its
// mask (0x00: any value), optionally followed by any further bytes.
struct DataPattern {
    bool any = true;                  // no data given: every data matches
    std::vector<std::uint8_t> value;  // bits under `mask`
    std::vector<std::uint8_t> mask;
    bool anyTail = false;             // more bytes of any value may follow

    // Parses "0102..03", "05/0F" byte masks, "x" for one digit, a final "*".
    // Up to `maxBytes` bytes; false with a reason otherwise.
    static bool Parse(const std::string& text, std::size_t maxBytes, DataPattern* pattern, std::string* error);
    bool Matches(const std::uint8_t* bytes, std::size_t length) const;
};

// A CAN frame pattern: `ID[#DATA]` or `ID#R[LENGTH]` for a remote frame.
struct FramePattern {
    bool extended = false;
    std::uint32_t id = 0;      // bits under `idMask`
    std::uint32_t idMask = 0;
    bool remote = false;       // matches remote frames only, and only these do
    int remoteLength = -1;     // -1: any requested length
    DataPattern data;

    static bool Parse(const std::string& text, FramePattern* pattern, std::string* error);
    bool Matches(const CanFrame& frame) const;
    // The identifier alone (any data), for telling what nearly matched.
    bool SameIdentifier(const CanFrame& frame) const;
};

// One J1939 message as the network saw it: a single frame, or a long one
// reassembled from its transport session.
struct J1939Message {
    std::uint32_t pgn = 0;
    std::uint8_t source = 0;
    std::uint8_t destination = 0xFF;
    std::vector<std::uint8_t> data;
};

// Follows the transport sessions of every bus (broadcast and connection
// mode) and tells when a frame completes a message: a frame that is not
// transport is a message of its own; a long message is complete with its
// last data packet. Malformed or inconsistent sessions are forgotten.
class J1939Assembler {
public:
    // True, with the message, when `frame` completes one.
    bool Feed(const CanFrame& frame, J1939Message* message);

private:
    struct Session {
        std::uint32_t pgn = 0;
        std::size_t size = 0;
        unsigned packets = 0;
        std::vector<std::uint8_t> data;
        std::vector<bool> received;
    };
    // By bus, source and destination (0xFF for a broadcast).
    std::map<std::tuple<std::uint8_t, std::uint8_t, std::uint8_t>, Session> sessions_;
};

}  // namespace gatewaysim
