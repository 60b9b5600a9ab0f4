#include "control/ControlServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <vector>

namespace gatewaysim {

namespace {

constexpr int kWriteTimeoutMs = 2000;

int FillAddress(const std::string& path, sockaddr_un* address, socklen_t* length) {
    if (path.empty() || path.find('\0') != std::string::npos) return -EINVAL;
    if (path.size() >= sizeof(address->sun_path)) return -ENAMETOOLONG;
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return 0;
}

// Sends all of `text`, waiting at most kWriteTimeoutMs for room each time.
bool SendAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, kWriteTimeoutMs) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

struct Client {
    int fd;
    std::string pending;
    std::int64_t lastHeardMs;
    bool heard = false;  // it has sent something
};

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string FormatReply(const CommandReply& reply) {
    if (!reply.ok) {
        // The reason is the last line; the lines before it are output.
        std::string reason = reply.text;
        while (!reason.empty() && reason.back() == '\n') reason.pop_back();
        const std::size_t last = reason.rfind('\n');
        if (last == std::string::npos) return "error: " + reason + "\n";
        return reason.substr(0, last + 1) + "error: " + reason.substr(last + 1) + "\n";
    }
    return reply.text + "ok\n";
}

int ControlServer::Start(const std::string& path, int socketMode) {
    if (listenFd_ >= 0) return -EALREADY;
    sockaddr_un address;
    socklen_t length = 0;
    int result = FillAddress(path, &address, &length);
    if (result != 0) return result;
    struct stat status;
    if (::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            const int r = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), length);
            const int error = errno;
            ::close(probe);
            if (r == 0) return -EADDRINUSE;
            if (error == ECONNREFUSED) ::unlink(path.c_str());
        }
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -errno;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) < 0) {
        result = -errno;
        ::close(fd);
        return result;
    }
    // Nobody can connect before listen(): the mode is in place before the first client.
    if ((socketMode >= 0 && ::chmod(path.c_str(), static_cast<mode_t>(socketMode)) < 0) || ::listen(fd, 8) < 0) {
        result = -errno;
        ::close(fd);
        ::unlink(path.c_str());
        return result;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        result = -errno;
        ::close(fd);
        ::unlink(path.c_str());
        return result;
    }
    listenFd_ = fd;
    path_ = path;
    try {
        thread_ = std::thread(&ControlServer::Run, this);
    } catch (const std::system_error& e) {
        ::close(listenFd_);
        ::close(wakeFd_);
        listenFd_ = wakeFd_ = -1;
        ::unlink(path.c_str());
        return e.code().value() != 0 ? -e.code().value() : -EAGAIN;
    }
    return 0;
}

void ControlServer::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(wakeFd_, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
        listenFd_ = -1;
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
}

void ControlServer::Run() {
    std::vector<Client> clients;
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back(pollfd{wakeFd_, POLLIN, 0});
        fds.push_back(pollfd{listenFd_, POLLIN, 0});
        int timeoutMs = -1;
        std::int64_t now = NowMs();
        for (const Client& c : clients) {
            fds.push_back(pollfd{c.fd, POLLIN, 0});
            const std::int64_t left = std::max<std::int64_t>(0, c.lastHeardMs + idleTimeoutMs_ - now);
            if (timeoutMs < 0 || left < timeoutMs) timeoutMs = static_cast<int>(left);
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        now = NowMs();
        std::vector<bool> closing(clients.size(), false);
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (fds[i + 2].revents == 0) {
                closing[i] = now - clients[i].lastHeardMs >= idleTimeoutMs_;
                continue;
            }
            clients[i].lastHeardMs = now;
            clients[i].heard = true;
            char buffer[1024];
            const ssize_t n = ::recv(clients[i].fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                closing[i] = true;
                continue;
            }
            clients[i].pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t newline;
            while (!closing[i] && (newline = clients[i].pending.find('\n')) != std::string::npos) {
                const std::string line = clients[i].pending.substr(0, newline);
                clients[i].pending.erase(0, newline + 1);
                if (!SendAll(clients[i].fd, FormatReply(execute_(line)))) closing[i] = true;
            }
            if (!closing[i] && clients[i].pending.size() > kMaxLineBytes) {
                SendAll(clients[i].fd, FormatReply(CommandReply{false, "line too long"}));
                closing[i] = true;
            }
        }
        for (std::size_t i = clients.size(); i-- > 0;) {
            if (closing[i]) {
                ::close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            for (;;) {
                const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) break;
                if (clients.size() >= kMaxClients) {
                    // The idlest of those that never sent a thing go first:
                    // an operator's client that has been used is kept.
                    const auto idlest =
                        std::min_element(clients.begin(), clients.end(), [](const Client& a, const Client& b) {
                            return a.heard != b.heard ? !a.heard : a.lastHeardMs < b.lastHeardMs;
                        });
                    ::close(idlest->fd);
                    clients.erase(idlest);
                }
                clients.push_back(Client{fd, {}, NowMs()});
            }
        }
    }
    for (const Client& c : clients) ::close(c.fd);
}

}  // namespace gatewaysim
