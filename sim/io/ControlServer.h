// Thread rule: Start and Stop from one controlling thread; the executor runs
// on the control server's own thread.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "io/CommandParser.h"

namespace gatewaysim {

// Serves operator commands on a Unix-domain stream socket: one command per
// line; the answer is the command's output lines followed by a line "ok" or
// "error: REASON". Several clients may be connected; their commands run one
// at a time.
class ControlServer {
public:
    using Executor = std::function<CommandReply(const std::string& line)>;

    static constexpr std::size_t kMaxClients = 16;
    static constexpr std::size_t kMaxLineBytes = 4096;

    explicit ControlServer(Executor executor) : execute_(std::move(executor)) {}
    ~ControlServer() { Stop(); }
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds `path` (a socket file left by a server that is gone is
    // replaced) and starts serving. 0 or a negative errno value.
    int Start(const std::string& path);
    // Closes every connection and removes the socket file. Idempotent.
    void Stop();

private:
    void Run();

    Executor execute_;
    std::string path_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

// Formats a reply as the control server sends it: the output lines, then
// "ok", or for a failure "error: " and the reason's last line after the
// lines before it.
std::string FormatReply(const CommandReply& reply);

}  // namespace gatewaysim
