// Thread rule: Observe is called from the simulator's worker (through its bus
// tap) and Stop from any thread; both are synchronised. Everything else runs
// on the one thread that runs the scenario.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "bus/Frames.h"
#include "control/CommandParser.h"

namespace gatewaysim {

// A scenario file run against the simulator: operator commands, waits,
// applications to start, and expectations about what reaches the buses and
// which applications are connected. Each expectation prints one line
// ("PASS" or "FAIL", its line, what it saw); the run ends with the line
// "N passed, N failed". The grammar is in sim/README.md.
class Scenario {
public:
    using Execute = std::function<CommandReply(const std::string& line)>;
    // Frames kept for the expectations; older ones are forgotten.
    static constexpr std::size_t kMaxFrames = 100'000;

    explicit Scenario(std::ostream& out) : out_(out) {}
    // Ends the applications it started.
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    // Sees every frame put on a bus.
    void Observe(const CanFrame& frame, const Origin& origin);
    // Runs the file; applications started get `endpoint` in the endpoint
    // variable. 0 when no expectation failed, 1 when one did, 2 when the file
    // cannot be read or a line does not parse (nothing is run then), 3 when
    // it was stopped before its end.
    int Run(const std::string& path, const std::string& endpoint, Execute execute);
    // Ends a run at once: the statement under way ends without a verdict and
    // no other one runs.
    void Stop();

private:
    struct Seen {
        std::uint64_t number;
        std::int64_t us;  // monotonic
        CanFrame frame;
        Origin origin;
    };
    struct Statement;
    bool Parse(const std::string& line, int number, Statement* statement, std::string* error) const;
    // Runs one statement and gives its verdict; false when the run was
    // stopped before the statement ended (no verdict then).
    bool Perform(const Statement& statement, const std::string& folder, const std::string& endpoint,
                 const Execute& execute);
    bool Start(const std::vector<std::string>& argv, const std::string& folder, const std::string& endpoint);
    // Hands the frames numbered from `from` to `done` as they come, each
    // once, until it returns true (true) or `untilUs` has passed (false).
    bool AwaitFrames(std::uint64_t from, std::int64_t untilUs,
                     const std::function<bool(const std::vector<Seen>&)>& done);
    bool Connected(const Execute& execute, std::int32_t address) const;
    // Waits until `untilUs` unless the run is stopped; false once it is.
    bool Pause(std::int64_t untilUs);
    bool Stopping();
    void Verdict(bool passed, int line, const std::string& text, const std::string& saw);

    std::ostream& out_;
    std::mutex lock_;  // guards frames_, next_ and stopping_
    std::condition_variable arrived_;
    std::deque<Seen> frames_;
    std::uint64_t next_ = 0;   // the number of the next frame
    std::uint64_t mark_ = 0;   // frames from here on count for "within" and "times"
    bool stopping_ = false;
    int passed_ = 0;
    int failed_ = 0;
    std::vector<pid_t> started_;
};

}  // namespace gatewaysim
