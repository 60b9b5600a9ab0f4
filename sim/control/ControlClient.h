// Thread rule: one ControlClient per thread; no shared state.
#pragma once

#include <string>

namespace gatewaysim {

// The operator's side of the control socket: sends one command line and
// collects its answer (the output lines, then "ok" or "error: REASON").
// Every wait is bounded by the time-out given at connection.
class ControlClient {
public:
    ControlClient() = default;
    ~ControlClient() { Close(); }
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Connects to the control socket at `path`. 0 or a negative errno value.
    int Connect(const std::string& path, int timeoutMs = 5000);
    void Close();
    // False once the connection failed (closed, timed out or never made).
    bool Connected() const { return fd_ >= 0; }

    // Sends `command` (without its line end) and waits for the answer.
    // True when it ended with "ok": `*output` then holds the output lines.
    // False for "error: ..." answers (`*output`: the output lines, then the
    // reason), a closed connection or a time-out (the reason), told apart by
    // Connected().
    bool Execute(const std::string& command, std::string* output);

private:
    bool ReadLine(std::string* line);

    int fd_ = -1;
    int timeoutMs_ = 5000;
    std::string pending_;
};

// `command` with the file of a replay command made absolute against
// `folder` (the client's working folder), so that the simulator, which runs
// elsewhere, reads the file that the operator named.
std::string ResolvePaths(const std::string& command, const std::string& folder);

}  // namespace gatewaysim
