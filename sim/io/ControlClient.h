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

    // Sends `command` (without its line end) and waits for the answer.
    // True when it ended with "ok": `*output` then holds the output lines.
    // False with the reason in `*output` for "error: ..." answers, a closed
    // connection or a time-out.
    bool Execute(const std::string& command, std::string* output);

private:
    bool ReadLine(std::string* line);

    int fd_ = -1;
    int timeoutMs_ = 5000;
    std::string pending_;
};

}  // namespace gatewaysim
