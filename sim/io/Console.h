// Thread rule: Start and Stop from one controlling thread; the executor runs
// on the console's own thread.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "io/CommandParser.h"

namespace gatewaysim {

// Reads operator commands from a descriptor (standard input), one per line,
// and writes their replies to another (standard output). Shows a prompt when
// the input is a terminal. At the end of the input it stops reading; the
// simulator goes on.
class Console {
public:
    using Executor = std::function<CommandReply(const std::string& line)>;

    Console(Executor executor, int inFd = 0, int outFd = 1) : execute_(std::move(executor)), in_(inFd), out_(outFd) {}
    ~Console() { Stop(); }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    int Start();
    void Stop();

private:
    void Run();
    void Write(const std::string& text);

    Executor execute_;
    int in_;
    int out_;
    int wakeFd_ = -1;
    bool prompt_ = false;
    std::thread thread_;
};

}  // namespace gatewaysim
