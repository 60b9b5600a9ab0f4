// Thread rule: Observe is called from the simulator's worker (through its bus
// tap) and Stop from any thread; both are synchronised. Everything else runs
// on the one thread that runs the scenario.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "bus/Frames.h"
#include "control/CommandParser.h"
#include "scenario/Matcher.h"
#include "scenario/Parser.h"
#include "scenario/Report.h"
#include "scenario/Stimulus.h"

namespace gatewaysim {

// A scenario file run against the simulator: operator commands, waits,
// applications to start, and expectations about what reaches the buses and
// what the applications do. Each expectation prints one line ("PASS" or
// "FAIL", its line, what it saw); the run ends with the line
// "N passed, N failed". The grammar is in sim/README.md.
class Scenario {
public:
    using Execute = std::function<CommandReply(const std::string& line)>;
    using Verdict = ScenarioVerdict;
    using VerdictHook = std::function<void(const Verdict&)>;
    // Frames kept for the expectations; older ones are forgotten.
    static constexpr std::size_t kMaxFrames = 100'000;

    explicit Scenario(std::ostream& out) : out_(out) {}
    // Ends the applications it started (SIGTERM, SIGKILL after 2 s).
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    // Called with every verdict, on the thread that runs the scenario, after
    // its line is printed. Set before Run.
    void SetVerdictHook(VerdictHook hook) { hook_ = std::move(hook); }
    // The simulator's data folder, where saved EEPROMs are ("eeprom-ADDRESS.bin").
    void SetDataFolder(std::string folder) { dataFolder_ = std::move(folder); }
    // Reads what the platform holds in an application's EEPROM, saved or
    // not: (address, offset, length, bytes) -> 0, -EBUSY to ask again, or
    // another negative errno value. Called on the thread that runs the
    // scenario. Set before Run; without it only `expect eeprom ... saved` can pass.
    using EepromReader =
        std::function<int(std::int32_t address, std::size_t offset, std::size_t length, std::vector<std::uint8_t>* out)>;
    void SetEepromReader(EepromReader reader) { eepromReader_ = std::move(reader); }
    // The signal databases of --dbc, which `expect signal` decodes with. Set
    // before Load: a file whose signals they do not know does not load.
    void SetSignalDatabases(std::shared_ptr<const signaldb::BusDatabases> databases) {
        databases_ = std::move(databases);
    }
    // Reads and parses the file: 0, or 2 after printing why (the file cannot
    // be read, or every line that does not parse with what it should be).
    [[nodiscard]] int Load(const std::string& path);
    // The names of the file's test cases, in their order.
    std::vector<std::string> Cases() const;
    // Runs only the case `name` (and the statements outside cases); false
    // when there is no such case.
    [[nodiscard]] bool SelectCase(const std::string& name);
    // The verdict of every case run (one named after the file for what is
    // outside cases, when it holds expectations), for a report.
    const std::vector<CaseResult>& Results() const { return results_; }
    // Sees every frame put on a bus.
    void Observe(const CanFrame& frame, const Origin& origin);
    // Runs the file loaded; applications started get `endpoint` in the
    // endpoint variable. 0 when no expectation failed, 1 when one did, 3 when
    // it was stopped before its end.
    [[nodiscard]] int Run(const std::string& endpoint, Execute execute);
    // Load and Run.
    [[nodiscard]] int Run(const std::string& path, const std::string& endpoint, Execute execute);
    // Ends a run at once: the statement under way ends without a verdict and
    // no other one runs.
    void Stop();
    // Ends the applications it started (SIGTERM, SIGKILL after 2 s), on the
    // thread that ran it; to be called while the simulator still serves, so
    // that what they do on shutdown (saving an EEPROM) reaches it.
    void EndApplications();

private:
    struct Seen {
        std::uint64_t number;
        std::int64_t us;  // monotonic
        CanFrame frame;
        Origin origin;
        std::shared_ptr<const J1939Message> message;  // the J1939 message this frame completes
    };
    // An application started by the scenario.
    struct Child {
        std::string name;  // PROGRAM as written
        int line = 0;
        std::string text;
        pid_t pid = -1;
        std::int64_t startUs = 0;
        bool exited = false;
        int status = 0;
        std::int64_t exitUs = 0;
        bool accounted = false;  // its end was expected, stopped or reported
        std::size_t id = 0;      // its place in children_
    };
    // A line an application printed.
    struct Printed {
        std::size_t child;
        std::int64_t us;
        std::string text;
    };
    // Forwards what the child prints to standard error and keeps its lines.
    void ReadOutput(int fd, std::size_t child);
    // Runs one statement and gives its verdict; false when the run was
    // stopped before the statement ended (no verdict then).
    bool Perform(const Statement& statement, const std::string& endpoint, const Execute& execute);
    // Runs statements in order; false when the run was stopped (`line` is
    // then the line it stopped at).
    bool RunAll(const std::vector<Statement>& statements, const std::string& endpoint, const Execute& execute,
                int* line);
    bool RunCase(const Block& block, const std::string& endpoint, const Execute& execute, int* line);
    bool Subscribed(const Execute& execute, const Statement& statement) const;
    // Starts PROGRAM; false with the reason when it cannot be.
    bool Start(const Statement& statement, const std::string& endpoint, std::string* reason);
    // Notes the applications that have ended.
    void Reap();
    // The application last started as `name`, or null.
    Child* Find(const std::string& name);
    // SIGTERM, then SIGKILL once `kEndMs` have passed; waits for it to end.
    void End(Child* child);
    // Hands the frames numbered from `from` to `done` as they come, each
    // once, until it returns true (true) or `untilUs` has passed (false).
    bool AwaitFrames(std::uint64_t from, std::int64_t untilUs,
                     const std::function<bool(const std::vector<Seen>&)>& done);
    bool Connected(const Execute& execute, std::int32_t address) const;
    // Waits until `untilUs` unless the run is stopped; false once it is.
    bool Pause(std::int64_t untilUs);
    bool Stopping();
    void Report(bool passed, int line, const std::string& text, const std::string& saw);
    void ReportUnexpectedExits();

    std::ostream& out_;
    VerdictHook hook_;
    std::string folder_ = ".";
    std::string dataFolder_ = ".";
    EepromReader eepromReader_;
    std::shared_ptr<const signaldb::BusDatabases> databases_;
    std::string path_;
    Script script_;
    std::string selected_;            // the one case to run; empty: all
    std::vector<CaseResult> results_;
    std::size_t current_ = 0;         // the result the verdicts go to
    std::mutex lock_;  // guards frames_, next_, assembler_ and stopping_
    std::condition_variable arrived_;
    std::deque<Seen> frames_;
    std::uint64_t next_ = 0;  // the number of the next frame
    J1939Assembler assembler_;
    bool stopping_ = false;
    // The window of the next expectation: from the end of the last wait or
    // expectation.
    std::uint64_t windowFrom_ = 0;
    std::int64_t windowUs_ = 0;
    int passed_ = 0;
    int failed_ = 0;
    std::vector<Child> children_;
    std::unique_ptr<Stimulus> stimulus_;  // made with the first "every"
    std::deque<Printed> printed_;         // guarded by lock_; the latest kMaxFrames lines
    std::atomic<bool> readersEnding_{false};
    std::vector<std::thread> readers_;    // one per application started
};

}  // namespace gatewaysim
