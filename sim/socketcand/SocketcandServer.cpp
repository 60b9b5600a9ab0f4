#include "socketcand/SocketcandServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace gatewaysim {

namespace {

constexpr int kIdleWaitMs = 1000;
constexpr std::size_t kSendChunk = 16 * 1024;
constexpr const char* kSlow = "it does not read its frames";

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string PeerName(const sockaddr_in& address) {
    char host[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address.sin_addr, host, sizeof(host));
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

bool ParseSocketcandAddress(const std::string& text, std::string* host, std::uint16_t* port, std::string* error) {
    const std::size_t colon = text.rfind(':');
    const std::string h = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string p = colon == std::string::npos ? text : text.substr(colon + 1);
    char* end = nullptr;
    errno = 0;
    const unsigned long value = p.empty() || p[0] < '0' || p[0] > '9' ? 0 : std::strtoul(p.c_str(), &end, 10);
    if (p.empty() || end == nullptr || *end != '\0' || errno != 0 || value == 0 || value > 65535 || h.empty() ||
        h.find_first_of(" \t/") != std::string::npos) {
        if (error) *error = "--socketcand takes [HOST:]PORT, HOST an IPv4 address or a host name, PORT 1 to 65535";
        return false;
    }
    *host = h;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

int SocketcandServer::Start(const std::string& host, std::uint16_t port, Injector injector) {
    if (thread_.joinable()) return -EALREADY;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        // A host name: its first IPv4 address.
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return -EADDRNOTAVAIL;
        address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
    }
    const auto fail = [this](int code) {
        if (listenFd_ >= 0) ::close(listenFd_);
        if (wakeFd_ >= 0) ::close(wakeFd_);
        listenFd_ = wakeFd_ = -1;
        return code;
    };
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) return fail(-errno);
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0 ||
        ::listen(listenFd_, 16) < 0)
        return fail(-errno);
    socklen_t length = sizeof(address);
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) < 0) return fail(-errno);
    port_ = ntohs(address.sin_port);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return fail(-errno);
    inject_ = std::move(injector);
    stopping_ = false;
    try {
        thread_ = std::thread(&SocketcandServer::Run, this);
    } catch (const std::system_error& e) {
        return fail(e.code().value() != 0 ? -e.code().value() : -EAGAIN);
    }
    return 0;
}

void SocketcandServer::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    {
        std::lock_guard<std::mutex> guard(lock_);
        WakeLocked();
    }
    thread_.join();
    // The simulator may still publish: it finds no client and no wake-up.
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : clients_) ::close(entry.first);
    clients_.clear();
    ::close(listenFd_);
    ::close(wakeFd_);
    listenFd_ = wakeFd_ = -1;
}

void SocketcandServer::WakeLocked() {
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof(one));
}

void SocketcandServer::Queue(Client& client, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!client.dropped.empty()) return;
    if (client.out.size() + text.size() > kMaxQueuedBytes) {
        client.dropped = kSlow;
        client.out.clear();
        return;
    }
    client.out += text;
}

void SocketcandServer::Publish(const CanFrame& frame, std::int64_t wallTimeUs, std::int32_t sender) {
    // The raw mode's frame has no way to say "remote request".
    if (frame.remote) return;
    std::string text;
    bool wake = false;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& entry : clients_) {
        Client& client = entry.second;
        if (client.state != 2 || client.bus != frame.bus || client.number == sender || !client.dropped.empty())
            continue;
        if (text.empty()) text = FormatSocketcandFrame(frame, wallTimeUs);
        if (client.out.size() + text.size() > kMaxQueuedBytes) {
            client.dropped = kSlow;
            client.out.clear();
        } else {
            client.out += text;
        }
        wake = true;
    }
    if (wake) WakeLocked();
}

void SocketcandServer::Serve(Client& client) {
    const auto refuse = [&](const std::string& reason) {
        if (++client.errors <= kReportedErrors)
            report_("socketcand client " + client.name + ": " + reason +
                    (client.errors == kReportedErrors ? " (further errors not reported)" : ""));
        Queue(client, std::string(client.state == 2 ? " " : "") + "< error " + reason + " >");
    };
    if (client.held) {
        const int taken = inject_(client.heldFrame, client.number);
        if (taken <= 0) return;
        client.held = false;
    }
    std::string element;
    for (;;) {
        const SocketcandReader::Next next = client.reader.Take(&element);
        if (next == SocketcandReader::Next::kNone) return;
        if (next == SocketcandReader::Next::kJunk) {
            refuse("text outside an element skipped");
            continue;
        }
        if (next == SocketcandReader::Next::kTooLong) {
            std::lock_guard<std::mutex> guard(lock_);
            client.dropped = "an element without end";
            client.out.clear();
            return;
        }
        SocketcandRequest request;
        std::string error;
        if (!ParseSocketcandElement(element, &request, &error)) {
            refuse(error);
            continue;
        }
        using Kind = SocketcandRequest::Kind;
        if (request.kind == Kind::kEcho) {
            Queue(client, client.state == 2 ? " < echo >" : "< echo >");
        } else if (client.state == 0) {
            if (request.kind != Kind::kOpen) {
                refuse("open a bus first");
                continue;
            }
            {
                std::lock_guard<std::mutex> guard(lock_);
                client.bus = request.bus;
                client.state = 1;
            }
            Queue(client, "< ok >");
            report_("socketcand client " + client.name + " opened can" + std::to_string(request.bus));
        } else if (request.kind == Kind::kRawMode) {
            std::lock_guard<std::mutex> guard(lock_);
            if (!client.dropped.empty()) return;
            client.out += client.state == 2 ? " < ok >" : "< ok >";
            if (client.state != 2) {
                client.settleBytes = client.out.size();
                client.settleUntilMs = NowMs() + kSettleMs;
                client.state = 2;
            }
        } else if (request.kind == Kind::kSend && client.state == 2) {
            request.frame.bus = client.bus;
            const int taken = inject_(request.frame, client.number);
            if (taken < 0) return;
            if (taken == 0) {
                // Paced by the bus: the rest waits, unread, as the frame does.
                client.held = true;
                client.heldFrame = request.frame;
                return;
            }
        } else if (request.kind == Kind::kOpen) {
            refuse("one bus per connection");
        } else if (request.kind == Kind::kSend) {
            refuse("frames are sent in raw mode");
        } else {
            refuse("only the raw mode is served");
        }
    }
}

void SocketcandServer::Run() {
    std::vector<pollfd> polled;
    char buffer[4096];
    while (!stopping_) {
        const std::int64_t now = NowMs();
        int timeoutMs = kIdleWaitMs;
        polled.assign({{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}});
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (const auto& [fd, client] : clients_) {
                const bool settling = now < client.settleUntilMs;
                if (settling) timeoutMs = std::min<int>(timeoutMs, static_cast<int>(client.settleUntilMs - now));
                const std::size_t sendable = settling ? client.settleBytes : client.out.size();
                if (client.held) timeoutMs = std::min(timeoutMs, kHeldRetryMs);
                polled.push_back({fd,
                                  static_cast<short>((client.held ? 0 : POLLIN) |
                                                     (sendable > 0 || !client.dropped.empty() ? POLLOUT : 0)),
                                  0});
            }
        }
        if (::poll(polled.data(), polled.size(), timeoutMs) < 0 && errno != EINTR) break;
        if (polled[0].revents != 0) {
            std::uint64_t count;
            (void)!::read(wakeFd_, &count, sizeof(count));
        }
        if (polled[1].revents & POLLIN) {
            sockaddr_in peer{};
            socklen_t length = sizeof(peer);
            const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                                     SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                // Frames go out as they come, not gathered by the kernel.
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
                std::lock_guard<std::mutex> guard(lock_);
                if (clients_.size() >= kMaxClients) {
                    (void)!::send(fd, "< error too many clients >", 26, MSG_NOSIGNAL);
                    ::close(fd);
                } else {
                    Client& client = clients_[fd];
                    client.number = nextNumber_++;
                    client.name = PeerName(peer);
                    client.out = "< hi >";
                }
            }
        }
        for (std::size_t i = 2; i < polled.size(); ++i) {
            const int fd = polled[i].fd;
            Client* client;
            {
                std::lock_guard<std::mutex> guard(lock_);
                client = &clients_.at(fd);
            }
            bool gone = false;
            if (client->held) Serve(*client);
            if (!client->held && (polled[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
                if (got > 0) {
                    client->reader.Append(buffer, static_cast<std::size_t>(got));
                    Serve(*client);
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    gone = true;
                }
            }
            std::string chunk;
            std::string dropped;
            {
                std::lock_guard<std::mutex> guard(lock_);
                dropped = client->dropped;
                const std::size_t sendable =
                    NowMs() < client->settleUntilMs ? client->settleBytes : client->out.size();
                chunk = client->out.substr(0, std::min(sendable, kSendChunk));
            }
            if (!gone && dropped.empty() && !chunk.empty()) {
                const ssize_t sent = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent > 0) {
                    std::lock_guard<std::mutex> guard(lock_);
                    client->out.erase(0, static_cast<std::size_t>(sent));
                    client->settleBytes -= std::min(client->settleBytes, static_cast<std::size_t>(sent));
                } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    gone = true;
                }
            }
            if (gone || !dropped.empty()) {
                if (!dropped.empty()) {
                    report_("socketcand client " + client->name + " dropped: " + dropped);
                } else {
                    report_("socketcand client " + client->name + " disconnected");
                }
                std::lock_guard<std::mutex> guard(lock_);
                clients_.erase(fd);
                ::close(fd);
            }
        }
    }
}

}  // namespace gatewaysim
