// Thread rule: pure functions and plain values; safe from any thread.
//
// The simulator's events file: one JSON object a line, such as
//   {"timeUs":1700000000123456,"kind":"fault-started","detail":"silence can1 for 500 ms"}
// with its time on the bus log's clock (microseconds since the epoch).
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace gatewaysim {
namespace report {

struct Event {
    std::int64_t timeUs = 0;
    std::string kind;           // fault-started, fault-ended, application-connected, ...
    std::string detail;         // for people
    std::string verdict;        // expectations and the scenario: "pass" or "fail"; else empty
    std::uint64_t refused = 0;  // fault-ended of a silence: frames the bus refused
};

struct EventList {
    std::vector<Event> events;     // in the file's order
    std::uint64_t unreadable = 0;  // lines that are not an event: skipped
};

// Reads the events; blank lines are skipped, a line that is not a JSON
// object with a numeric "timeUs" and a string "kind" is counted and skipped.
EventList ReadEvents(std::istream& in);

// One event as a line of the file (without the line end).
std::string FormatEvent(const Event& event);

}  // namespace report
}  // namespace gatewaysim
