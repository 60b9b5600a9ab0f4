// Thread rule: every object here belongs to the test's thread; a Process's
// reader thread only records lines, under the process's lock.
//
// Real processes for the integration tests: the gateway simulator started on
// a temporary endpoint, data folder and control socket, and scriptable peer
// applications in child processes. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/ControlClient.h"

namespace integration {

constexpr int kBoundMs = 10'000;  // generous: only a hang reaches it

// Polls `condition` until it holds or `timeoutMs` pass; for states that
// announce themselves nowhere (a file's content, the simulator's list).
bool Eventually(const std::function<bool()>& condition, int timeoutMs = kBoundMs);

// A folder in memory (/dev/shm) where the machine has one, otherwise under
// /tmp; removed with everything in it at destruction. In memory, the
// simulator's synced EEPROM saves do not wait for a disk that parallel
// builds keep busy, which would push a save past the library's 500 ms.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A child process with its standard input and output on pipes; a reader
// thread collects the lines it prints. Killed at destruction if still running.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts `argv[0]` with the environment plus `environment` ("NAME=VALUE").
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
    pid_t Pid() const { return pid_; }
    bool Running();
    void Kill(int signal);
    // Waits for the end, and for the lines it printed to be read; its exit
    // code, 128 + signal, or -1 on a time-out.
    int Wait(int timeoutMs = kBoundMs);
    // Closes the child's standard input.
    void CloseInput();
    bool WriteLine(const std::string& line);

    std::vector<std::string> Lines() const;
    // Waits for a printed line for which `match` holds; returns it, or an
    // empty string after `timeoutMs`.
    std::string AwaitLine(const std::function<bool(const std::string&)>& match, int timeoutMs = kBoundMs);
    // Waits for the `count`-th line for which `match` holds; all matching lines.
    std::vector<std::string> AwaitLines(const std::function<bool(const std::string&)>& match, std::size_t count,
                                        int timeoutMs = kBoundMs);

private:
    void Read();

    pid_t pid_ = -1;
    int status_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::thread reader_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string partial_;
    bool outputEnded_ = false;  // the reader has seen the end of the output
};

// A scriptable peer application (the integration_peer program).
class Peer {
public:
    // Starts the peer at IPC `address` against `endpoint` and waits for its Init.
    Peer(const std::string& endpoint, int address, int mode = 0);
    // Sends a command and returns the value of its result line ("result NAME VALUE ...").
    std::string Run(const std::string& command);
    // Ends the peer with a clean shutdown (end of its input); its exit code.
    int Quit();
    Process& Proc() { return process_; }
    int InitResult() const { return init_; }

private:
    Process process_;
    int init_ = -1;
    std::size_t results_ = 0;
};

// The gateway simulator on a temporary endpoint, data folder and control socket.
class Simulator {
public:
    explicit Simulator(const TempFolder& folder) : folder_(folder) {}
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Starts it with `extra` options and waits until its control socket answers.
    bool Start(const std::vector<std::string>& extra = {});
    // Ends it with SIGTERM; its exit code (0 for a clean end).
    int Stop();
    Process& Proc() { return process_; }

    std::string Endpoint() const { return folder_ / "endpoint"; }
    std::string Data() const { return folder_ / "data"; }
    // Runs an operator command; its output. Fails the test when it fails.
    std::string Command(const std::string& command);
    // Polls `list` until `condition` holds for its output.
    bool AwaitList(const std::function<bool(const std::string&)>& condition, int timeoutMs = kBoundMs);

private:
    const TempFolder& folder_;
    Process process_;
    gatewaysim::ControlClient control_;
};

// Splits text into its lines.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace integration
