// Thread rule: pure functions; safe from any thread.
//
// The text forms of frames: the frame syntax of the common CAN command-line
// tools ("123#11.22", "18FEF100#R"), their log lines
// ("(1700000000.000100) can1 18FEF100#0102"), and the simulator's own form
// for J1708 frames ("(1700000000.000100) j1708 80#0102*7D").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bus/Frames.h"

namespace gatewaysim {

// Parses a CAN frame in the tools' syntax: an identifier of exactly 3 hex
// digits (standard, at most 7FF) or 8 (extended, at most 1FFFFFFF), '#', then
// either up to 8 data bytes as pairs of hex digits, optionally separated by
// '.', or 'R' (a remote frame) optionally followed by its length digit. Hex
// digits of either case. The bus is left as it is. False, with a reason in
// `*error`, for anything else (flexible-data-rate frames "##" included).
bool ParseCanFrameText(std::string_view text, CanFrame* frame, std::string* error);

// Maps an interface name to a bus: letters followed by a bus number 0 to 4
// ("can1", "vcan1"). False, with a reason, otherwise.
bool ParseInterfaceName(std::string_view name, std::uint8_t* bus, std::string* error);

// Parses a J1708 frame: the MID as 2 hex digits, '#', up to 19 data bytes as
// above, and optionally '*' and the checksum, which must be the right one.
// Without it the checksum is computed.
bool ParseJ1708Text(std::string_view text, J1708Frame* frame, std::string* error);

// One line of a log.
struct LogEntry {
    enum class Kind { kNothing, kCan, kJ1708 };  // kNothing: blank or comment line
    Kind kind = Kind::kNothing;
    std::int64_t timeUs = 0;  // the line's timestamp in microseconds
    CanFrame can;
    J1708Frame j1708;
};

// One log line taken apart, the frame not yet parsed.
struct LogLineParts {
    bool comment = false;  // blank or comment line: nothing else is set
    std::int64_t timeUs = 0;
    std::string_view interface;
    std::string_view frame;
};

// Splits a log line (see ParseLogLine) into its time stamp, interface and
// frame text. False, with a reason, for a line that is not one (a NUL byte
// anywhere included).
bool SplitLogLine(std::string_view line, LogLineParts* parts, std::string* error);
// Parses the frame of a split line: a CAN frame on `bus` (0 to 4), or with
// `bus` -1 on the bus that the interface names (canN; "j1708": J1708).
bool ParseLogFrame(const LogLineParts& parts, int bus, LogEntry* entry, std::string* error);

// Parses one log line: "(SECONDS.FRACTION) INTERFACE FRAME" (a fraction of any
// number of digits), where FRAME is a
// CAN frame on interfaces canN (N = bus) and a J1708 frame on the interface
// "j1708". Blank lines and lines whose first non-blank character is '#' are
// comments (kNothing). Surrounding blanks, a trailing '\r' and a direction
// mark after the frame (" R" received, " T" transmitted) are ignored.
bool ParseLogLine(std::string_view line, LogEntry* entry, std::string* error);

// "ID#DATA" in upper-case hex: 3 identifier digits for standard frames, 8 for
// extended ones; "ID#R" (with the length digit when it is not 0) for remote
// frames.
std::string FormatCanFrame(const CanFrame& frame);
// "MID#DATA*CK".
std::string FormatJ1708Frame(const J1708Frame& frame);
// Log lines, without the line end. `timeUs` is printed as seconds with six
// decimals.
std::string FormatCanLogLine(std::int64_t timeUs, const CanFrame& frame);
std::string FormatJ1708LogLine(std::int64_t timeUs, const J1708Frame& frame);

}  // namespace gatewaysim
