// Thread rule: Start and Stop from one controlling thread; the executor runs
// on the console's own thread; Print from any thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "control/CommandParser.h"

namespace gatewaysim {

// Reads operator commands from a descriptor (standard input), one per line,
// and writes their replies to another (standard output). At the end of the
// input it stops reading; the simulator goes on.
//
// On a terminal it shows a prompt and, where the simulator is built with
// libedit, edits the line (arrows, history). Report and log lines given to
// Print then never break into what the operator types: the line being typed
// is cleared, the lines are written, and it is shown again as it was.
class Console {
public:
    using Executor = std::function<CommandReply(const std::string& line)>;

    static constexpr std::size_t kMaxLineBytes = 4096;
    // Lines waiting for the console thread at most; Print waits (bounded)
    // for room beyond that.
    static constexpr std::size_t kMaxPending = 4096;
    static constexpr int kPrintWaitMs = 1000;

    Console(Executor executor, int inFd = 0, int outFd = 1) : execute_(std::move(executor)), in_(inFd), out_(outFd) {}
    ~Console() { Stop(); }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    int Start();
    void Stop();
    // Whether the simulator was built with line editing (libedit).
    static bool HasLineEditing();
    // Writes `line` and a line end to `fd` (standard error or output) without
    // breaking into the operator's typing. False when it could not be
    // written (a line queued for the console thread counts as written).
    bool Print(const std::string& line, int fd);

private:
    void Run();
    void RunEditing();
    void Write(const std::string& text);
    static bool WriteTo(int fd, const std::string& text);
    // Runs one command line and writes its reply.
    void Execute(const std::string& line);
    // Writes the lines that Print queued; `redraw`: on the console thread
    // while a line is edited, which is cleared first and shown again after.
    void WritePending(bool redraw);
    // libedit's handler of a finished line (null at the end of the input).
    static void OnEditedLine(char* line);

    Executor execute_;
    int in_;
    int out_;
    int wakeFd_ = -1;   // Stop
    int printFd_ = -1;  // lines queued by Print
    bool prompt_ = false;
    [[maybe_unused]] bool inputEnded_ = false;  // console thread; with line editing only
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable room_;
    bool editing_ = false;                         // guarded by lock_: Print queues for the console thread
    std::deque<std::pair<int, std::string>> pending_;  // guarded by lock_
};

}  // namespace gatewaysim
