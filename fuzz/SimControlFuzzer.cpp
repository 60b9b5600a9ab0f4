// The control socket's stream: a client sends any bytes and closes its
// side; the server answers what it read and ends the connection, within a
// bound, whatever the lines and their lengths. Commands are parsed, not
// run (a hostile client could otherwise stop the server).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "control/ControlServer.h"

namespace {

struct Server {
    std::string path;
    gatewaysim::ControlServer server{[](const std::string& line) {
        gatewaysim::Command command;
        gatewaysim::CommandReply reply;
        reply.ok = gatewaysim::ParseCommand(line, &command, &reply.text);
        return reply;
    }};
    Server() {
        char folder[] = "/tmp/fuzz-control.XXXXXX";
        if (::mkdtemp(folder) == nullptr) std::abort();
        path = std::string(folder) + "/control";
        if (server.Start(path) != 0) std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server s;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    s.path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) std::abort();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::size_t sent = 0;
    if (size == 0) ::shutdown(fd, SHUT_WR);
    bool open = true;
    char answer[4096];
    // Writes and reads at once, so that neither side's buffer fills up.
    while (open) {
        if (std::chrono::steady_clock::now() > deadline) __builtin_trap();  // the server hangs
        pollfd p{fd, static_cast<short>(POLLIN | (sent < size ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, 100) < 0) continue;
        if ((p.revents & POLLOUT) != 0) {
            const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<std::size_t>(n);
            if (n < 0 && errno != EAGAIN) sent = size;  // the server closed: a long line
            if (sent == size) ::shutdown(fd, SHUT_WR);
        }
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::recv(fd, answer, sizeof(answer), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN)) open = false;
        }
    }
    ::close(fd);
    return 0;
}
