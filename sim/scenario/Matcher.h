// Thread rule: patterns are plain values, safe to share once built; a
// J1939Assembler belongs to one thread at a time (its owner locks it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "SignalDatabase.h"
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

// A J1939 message pattern: its PGN, optionally its source, destination and
// bytes.
struct J1939Pattern {
    std::uint32_t pgn = 0;
    int source = -1;       // -1: any
    int destination = -1;  // -1: any
    DataPattern data;

    bool Matches(const J1939Message& message) const;
};

// A condition on a signal's physical value: `OP VALUE` or `between A B`.
// Values are compared at the signal's resolution: two values closer than
// half its factor are equal (a float signal's: one part in a billion).
struct SignalCondition {
    enum class Op { kEq, kNe, kLt, kLe, kGt, kGe, kBetween };
    std::string message;  // MESSAGE.SIGNAL as written
    std::string signal;
    Op op = Op::kEq;
    std::string valueText;  // as written: a number or a value name
    std::string upperText;  // between: B
    // Resolved against the signal database before the run.
    const signaldb::Message* dbcMessage = nullptr;
    const signaldb::Signal* dbcSignal = nullptr;
    double value = 0;
    double upper = 0;
    double tolerance = 0;

    static bool ParseOp(const std::string& word, Op* op);
    bool Holds(double physical) const;
};

// What `expect dtc` looks for in DM1 (PGN 65226): an active DTC, with a lamp
// on, or the "no active faults" form.
struct DtcPattern {
    enum Lamp { kNoLamp = -1, kMil = 0, kRed = 1, kAmber = 2, kProtect = 3 };  // from the status byte's top
    bool none = false;
    std::uint32_t spn = 0;
    std::uint8_t fmi = 0;
    int lamp = kNoLamp;
};

// One DTC of a DM1 (or DM2).
struct ActiveDtc {
    std::uint32_t spn = 0;
    std::uint8_t fmi = 0;
    std::uint8_t count = 0;  // occurrence count
};
// A DM1 (or DM2) payload read as J1939-73 lays it out: the lamp status
// byte and the active DTCs. The "no active faults" entry (SPN 0, FMI 0) and
// padding (FF FF FF FF) are no DTC. False for a payload too short to be one.
bool ReadDiagnosticMessage(const std::vector<std::uint8_t>& payload, std::uint8_t* lamps, std::vector<ActiveDtc>* dtcs);
// Whether lamp (DtcPattern::Lamp) is on in a lamp status byte: status 01.
bool LampOn(std::uint8_t lamps, int lamp);

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
