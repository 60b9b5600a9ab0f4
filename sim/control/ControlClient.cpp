#include "control/ControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace gatewaysim {

int ControlClient::Connect(const std::string& path, int timeoutMs) {
    Close();
    timeoutMs_ = timeoutMs;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return -ENAMETOOLONG;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return -errno;
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        Close();
        return -error;
    }
    return 0;
}

void ControlClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

bool ControlClient::ReadLine(std::string* line) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            *line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[4096];
        const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

bool ControlClient::Execute(const std::string& command, std::string* output) {
    output->clear();
    if (fd_ < 0) {
        *output = "not connected";
        return false;
    }
    const std::string line = command + "\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *output = std::string("send: ") + std::strerror(errno);
            Close();
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    for (;;) {
        if (!ReadLine(&answer)) {
            *output = "no answer from the simulator";
            Close();
            return false;
        }
        if (answer == "ok") return true;
        if (answer.compare(0, 7, "error: ") == 0) {
            *output += answer.substr(7);
            return false;
        }
        *output += answer + "\n";
    }
}

}  // namespace gatewaysim

namespace gatewaysim {

std::string ResolvePaths(const std::string& command, const std::string& folder) {
    // The only command that names a file: replay FILE ...
    std::size_t at = command.find_first_not_of(" \t");
    if (at == std::string::npos || command.compare(at, 6, "replay") != 0) return command;
    at += 6;
    if (at >= command.size() || (command[at] != ' ' && command[at] != '\t')) return command;
    at = command.find_first_not_of(" \t", at);
    if (at == std::string::npos || command[at] == '/' || folder.empty()) return command;
    const std::size_t end = command.find_first_of(" \t", at);
    if (command.compare(at, end == std::string::npos ? std::string::npos : end - at, "stop") == 0) return command;
    return command.substr(0, at) + folder + (folder.back() == '/' ? "" : "/") + command.substr(at);
}

}  // namespace gatewaysim
