// Thread rule: Start and Stop from one controlling thread; the executor runs
// on the control server's own thread.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "control/CommandParser.h"

namespace gatewaysim {

// Serves operator commands on a Unix-domain stream socket: one command per
// line; the answer is the command's output lines followed by a line "ok" or
// "error: REASON". Several clients may be connected; their commands run one
// at a time. A client that sends nothing for `idleTimeoutMs` is closed, and
// a newcomer beyond kMaxClients closes the client idle the longest (one that
// never sent anything before one that did) instead of waiting for it: idle
// clients never keep others out.
class ControlServer {
public:
    using Executor = std::function<CommandReply(const std::string& line)>;

    static constexpr std::size_t kMaxClients = 16;
    static constexpr std::size_t kMaxLineBytes = 4096;
    static constexpr int kIdleTimeoutMs = 60'000;

    explicit ControlServer(Executor executor, int idleTimeoutMs = kIdleTimeoutMs)
        : execute_(std::move(executor)), idleTimeoutMs_(idleTimeoutMs) {}
    ~ControlServer() { Stop(); }
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds `path` (a socket file left by a server that is gone is
    // replaced) and starts serving. 0 or a negative errno value.
    // `socketMode` (negative: as the umask leaves it) is given to the socket
    // file before anyone can connect.
    int Start(const std::string& path, int socketMode = -1);
    // Closes every connection and removes the socket file. Idempotent.
    void Stop();

private:
    void Run();

    Executor execute_;
    const int idleTimeoutMs_;
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
