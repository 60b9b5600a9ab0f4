// Thread rule: worker thread only; not synchronised.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control/CommandParser.h"

namespace gatewaysim {

// The platform faults an operator has put in force: what they are, until
// when, and what they have done. Each is reported when it starts and when it
// ends (its time is up, its count is spent, it is replaced or cleared). The
// simulator asks this table at the points the faults act on.
class Faults {
public:
    using Report = std::function<void(const std::string&)>;
    using Service = FaultCommand::Service;
    struct Node {
        std::uint8_t bus;
        std::uint8_t address;
        std::uint64_t name;
    };
    // What ended: the simulator undoes it.
    struct Ended {
        std::vector<std::int32_t> stalls;  // addresses (0: all) no longer stalled
        std::vector<Node> nodes;           // nodes taken off the buses
        std::vector<std::int32_t> eeproms; // addresses whose EEPROM works again
    };

    explicit Faults(Report report) : report_(std::move(report)) {}

    // Puts a fault in force (replacing one of the same kind and target).
    // EEPROM failures, node claims and restarts are carried out by the
    // simulator; a restart is reported as one event.
    void Start(const FaultCommand& fault, std::int64_t nowUs, Ended* ended);

    bool Stalls(std::int32_t address, std::int64_t nowUs) const;
    bool StallsAll(std::int64_t nowUs) const { return Stalls(0, nowUs); }
    // The delay of an answer of `service` in microseconds (0: none).
    std::int64_t DelayUs(Service service) const;
    // True when an answer of `service` is to be withheld (and counts it).
    bool Withholds(Service service);
    // True when `bus` is silenced (and counts the frame refused).
    bool Refuses(std::uint8_t bus, std::int64_t nowUs);

    // Ends the faults whose time is up; the time (monotonic microseconds) of
    // the next end, or -1.
    std::int64_t Expire(std::int64_t nowUs, Ended* ended);
    // Ends every fault.
    void Clear(Ended* ended);
    // One line per fault in force.
    std::vector<std::string> List(std::int64_t nowUs) const;
    bool Any() const { return !entries_.empty(); }

private:
    struct Entry {
        FaultCommand fault;
        std::string what;             // as reported
        std::int64_t untilUs = -1;    // -1: until cleared (or its count is spent)
        std::uint64_t refused = 0;    // silence: frames refused
        std::uint64_t withheld = 0;   // withhold: answers withheld
    };
    static bool SameTarget(const FaultCommand& a, const FaultCommand& b);
    void End(std::size_t index, Ended* ended);
    const Entry* Find(FaultCommand::Kind kind, const std::function<bool(const FaultCommand&)>& match) const;

    Report report_;
    std::vector<Entry> entries_;
};

}  // namespace gatewaysim
