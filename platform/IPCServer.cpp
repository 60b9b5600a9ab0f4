#include "IPCServer.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "SocketIO.h"

namespace PlatformServices {

namespace {

// How long a write waits for an application that does not read before it
// gives up. A frame that was cut short by it costs the connection.
constexpr int kWriteTimeoutMs = 5000;
// While accept() lacks descriptors, the listening socket is left out of the
// epoll set for this long, so that the loop does not spin on it.
constexpr int kAcceptRetryMs = 100;
// Epoll tags of the two descriptors that are not connections (a connection's
// tag is the address of its object).
constexpr std::uint64_t kWakeTag = 0;
constexpr std::uint64_t kListenTag = 1;
// Readiness events taken per pass.
constexpr int kEventsPerPass = 64;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int Watch(int epollFd, int fd, std::uint64_t tag) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    return ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : -errno;
}

// True when the application at the other end of `fd` has closed or shut down
// its side.
bool PeerGone(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

struct IPCServer::Connection {
    Connection(int descriptor, std::uint64_t number) : fd(descriptor), serial(number) {}
    ~Connection() { ::close(fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const int fd;
    const std::uint64_t serial;  // tells a connection from a later one of the same address
    const std::int64_t acceptedMs = NowMs();
    // 0 until registered. Written only by the I/O thread, under the server's
    // lock_; other threads read it under lock_.
    std::int32_t address = 0;
    std::atomic<bool> dropped{false};
    int pauses = 0;  // not read while above 0 (PauseReading); I/O thread only

    std::mutex writeLock;  // one frame at a time; guards `broken`
    bool broken = false;   // a frame went out incomplete; nothing may follow it
    bool partial = false;  // WriteSome left a frame incomplete; only WriteSome may continue

    // Received bytes not parsed yet; I/O thread only.
    std::vector<std::uint8_t> rx;
    std::size_t rxStart = 0;
    std::size_t rxEnd = 0;
};

IPCServer::IPCServer(std::int32_t serverAddress) : serverAddress_(serverAddress) {}

IPCServer::~IPCServer() {
    Stop();
    if (epollFd_ >= 0) ::close(epollFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void IPCServer::SetMessageHandler(MessageHandler handler) {
    onMessage_ = std::move(handler);
}

void IPCServer::SetMessageViewHandler(MessageViewHandler handler) {
    onMessageView_ = std::move(handler);
}

void IPCServer::SetConnectionHandler(ConnectionHandler handler) {
    onConnection_ = std::move(handler);
}

void IPCServer::SetRefusalHandler(RefusalHandler handler) {
    onRefusal_ = std::move(handler);
}

int IPCServer::Start(const std::string& path, Threading threading) {
    if (serving_ || listenFd_ >= 0) return -EALREADY;
    if (path.find('\0') != std::string::npos) return -EINVAL;
    sockaddr_un address;
    socklen_t addressLength = 0;
    const int filled = detail::FillUnixAddress(path.c_str(), address, addressLength);
    if (filled < 0) return filled;

    // A socket file left behind by a server that is gone is replaced; one
    // whose server still accepts is not. Other files are never removed.
    struct stat status;
    if (::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (probe >= 0) {
            const int r =
                ::connect(probe, reinterpret_cast<const sockaddr*>(&address), addressLength);
            const int error = errno;
            ::close(probe);
            if (r == 0 || error == EAGAIN || error == EINPROGRESS) return -EADDRINUSE;
            if (error == ECONNREFUSED) ::unlink(path.c_str());
        }
    }

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -errno;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), addressLength) < 0) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    int error = 0;
    // Nobody can connect before listen(): the mode is in place before the first client.
    if (limits_.socketMode >= 0 && ::chmod(path.c_str(), static_cast<mode_t>(limits_.socketMode)) < 0) error = errno;
    if (error == 0 && ::listen(fd, SOMAXCONN) < 0) error = errno;
    if (error == 0 && wakeFd_ < 0) {
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) error = errno;
    }
    if (error == 0 && epollFd_ < 0) {
        epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epollFd_ < 0) {
            error = errno;
        } else if (Watch(epollFd_, wakeFd_, kWakeTag) < 0) {
            error = errno;
            ::close(epollFd_);
            epollFd_ = -1;
        }
    }
    if (error == 0 && Watch(epollFd_, fd, kListenTag) < 0) error = errno;
    if (error == 0) {
        listenFd_ = fd;
        path_ = path;
        stopping_.store(false);
        acceptPausedUntilMs_ = -1;
        registrationDueMs_ = -1;
        if (threading == Threading::kOwnThread) {
            try {
                thread_ = std::thread(&IPCServer::Run, this);
            } catch (const std::system_error& e) {
                error = e.code().value() != 0 ? e.code().value() : EAGAIN;
                listenFd_ = -1;
            }
        }
    }
    if (error != 0) {
        ::close(fd);  // also leaves the epoll set
        ::unlink(path.c_str());
        return -error;
    }
    serving_ = true;
    return 0;
}

void IPCServer::Stop() {
    if (thread_.joinable()) {
        stopping_.store(true);
        Wake();
        thread_.join();  // the I/O thread drops every connection on its way out
    } else if (serving_) {
        stopping_.store(true);
        DropAll();
    }
    serving_ = false;
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        ::unlink(path_.c_str());
    }
    // wakeFd_ stays open until destruction: a writer that fails on a dropped
    // connection may still be waking the (finished) I/O thread.
}

void IPCServer::Wake() {
    const std::uint64_t one = 1;
    ssize_t r;
    do {
        r = ::write(wakeFd_, &one, sizeof(one));
    } while (r < 0 && errno == EINTR);
    // EAGAIN: the counter is saturated, the I/O thread is woken anyway.
}

void IPCServer::Run() {
    while (!stopping_.load()) Pass(-1);
    DropAll();
}

void IPCServer::Serve(int timeoutMs) {
    if (serving_ && !stopping_.load()) Pass(timeoutMs);
}

void IPCServer::Pass(int timeoutMs) {
    FinalizeDropped();
    if (acceptPausedUntilMs_ >= 0) {
        const std::int64_t left = acceptPausedUntilMs_ - NowMs();
        if (left <= 0) {
            acceptPausedUntilMs_ = Watch(epollFd_, listenFd_, kListenTag) == 0 ? -1 : NowMs() + kAcceptRetryMs;
        } else if (timeoutMs < 0 || left < timeoutMs) {
            timeoutMs = static_cast<int>(left);
        }
    }
    if (registrationDueMs_ >= 0) {
        const std::int64_t left = std::max<std::int64_t>(0, registrationDueMs_ - NowMs());
        if (timeoutMs < 0 || left < timeoutMs) timeoutMs = static_cast<int>(left);
    }
    if (!resumed_.empty()) {
        // Connections read again: what they sent while paused comes first.
        std::vector<std::shared_ptr<Connection>> resumed;
        resumed.swap(resumed_);
        for (const auto& connection : resumed) {
            if (!connection->dropped.load() && connection->pauses == 0) HandleReceived(connection);
        }
        timeoutMs = 0;
    }
    epoll_event events[kEventsPerPass];
    const int ready = ::epoll_wait(epollFd_, events, kEventsPerPass, timeoutMs);
    if (registrationDueMs_ >= 0) {
        const std::int64_t now = NowMs();
        if (now >= registrationDueMs_) registrationDueMs_ = ExpireUnregistered(now);
    }
    if (ready <= 0) return;  // EINTR, ENOMEM: the next pass tries again
    {
        std::lock_guard<std::mutex> guard(lock_);
        polled_.assign(connections_.begin(), connections_.end());
    }
    readable_.assign(polled_.size(), false);
    for (int i = 0; i < ready; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag == kWakeTag) {
            std::uint64_t count;
            while (::read(wakeFd_, &count, sizeof(count)) > 0) {
            }
        } else if (tag == kListenTag) {
            if (!AcceptAll() && ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr) == 0) {
                acceptPausedUntilMs_ = NowMs() + kAcceptRetryMs;
            }
        } else {
            // Connections are looked up among those held for this pass: one
            // dropped and forgotten during it is still alive, and is skipped.
            const auto it = std::find_if(polled_.begin(), polled_.end(), [tag](const auto& c) {
                return reinterpret_cast<std::uint64_t>(c.get()) == tag;
            });
            if (it != polled_.end()) readable_[static_cast<std::size_t>(it - polled_.begin())] = true;
        }
    }
    // Read in the order the connections came, as one scan of them all would:
    // of two messages sent one after the other on two connections, the
    // first is handled first.
    for (std::size_t i = 0; i < polled_.size() && !stopping_.load(); ++i) {
        if (readable_[i] && !polled_[i]->dropped.load()) HandleReadable(polled_[i]);
    }
    polled_.clear();
}

void IPCServer::DropAll() {
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> guard(lock_);
        all.assign(connections_.begin(), connections_.end());
    }
    for (const auto& connection : all) Drop(connection);
    all.clear();
    FinalizeDropped();
}

// Accepts every pending connection. False when the process ran out of
// descriptors or memory (accepting pauses for a while).
bool IPCServer::AcceptAll() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            switch (errno) {
                case EINTR:
                case ECONNABORTED:
                    continue;
                case EMFILE:
                case ENFILE:
                case ENOBUFS:
                case ENOMEM:
                    return false;
                default:
                    return true;
            }
        }
        auto connection = std::make_shared<Connection>(fd, nextSerial_.fetch_add(1));
        // A connection that cannot be watched is closed at once.
        if (Watch(epollFd_, fd, reinterpret_cast<std::uint64_t>(connection.get())) < 0) return false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            connections_.push_back(std::move(connection));
        }
        if (limits_.maxUnregistered > 0) CapUnregistered();
        if (limits_.registrationTimeoutMs >= 0 && registrationDueMs_ < 0)
            registrationDueMs_ = NowMs() + limits_.registrationTimeoutMs;
    }
}

// Connections are kept in the order they came: the first unregistered one
// found is the one that waited longest.
std::int64_t IPCServer::ExpireUnregistered(std::int64_t nowMs) {
    std::vector<std::shared_ptr<Connection>> expired;
    std::int64_t due = -1;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& connection : connections_) {
            if (connection->address > 0 || connection->dropped.load()) continue;
            const std::int64_t end = connection->acceptedMs + limits_.registrationTimeoutMs;
            if (end > nowMs) {
                due = end;
                break;
            }
            expired.push_back(connection);
        }
    }
    for (const auto& connection : expired) Drop(connection);
    return due;
}

void IPCServer::CapUnregistered() {
    std::shared_ptr<Connection> oldest;
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::size_t waiting = 0;
        for (const auto& connection : connections_) {
            if (connection->address > 0 || connection->dropped.load()) continue;
            if (!oldest) oldest = connection;
            ++waiting;
        }
        if (waiting <= limits_.maxUnregistered) return;
    }
    Drop(oldest);
}

void IPCServer::HandleReadable(const std::shared_ptr<Connection>& connection) {
    Connection& c = *connection;
    if (c.pauses > 0) return;
    detail::RxBuffer rx{c.rx, c.rxStart, c.rxEnd};
    std::size_t space = 0;
    std::uint8_t* into = rx.PrepareRead(&space);
    ssize_t n;
    do {
        n = ::recv(c.fd, into, space, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        Drop(connection);
        return;
    }
    c.rxEnd += static_cast<std::size_t>(n);
    HandleReceived(connection);
}

void IPCServer::HandleReceived(const std::shared_ptr<Connection>& connection) {
    Connection& c = *connection;
    detail::RxBuffer rx{c.rx, c.rxStart, c.rxEnd};
    while (!c.dropped.load() && c.pauses == 0) {
        std::unique_ptr<QRVMessage> owned;
        QRVMessage* message = nullptr;
        std::size_t used = 0;
        QRVMessage::ParseResult parsed;
        if (onMessageView_) {
            if (!received_) received_ = std::make_unique<QRVMessage>(QRVMessage::kTypeEnvelope, 0, 0);
            message = received_.get();
            parsed = QRVMessage::ParseFrameInto(rx.Data(), rx.Size(), message, &used);
        } else {
            parsed = QRVMessage::ParseFrame(rx.Data(), rx.Size(), &owned, &used);
            message = owned.get();
        }
        if (parsed == QRVMessage::ParseResult::kIncomplete) return;
        if (parsed == QRVMessage::ParseResult::kMalformed) {
            Drop(connection);
            return;
        }
        rx.Consume(used);
        const std::int32_t type = message->GetMessageType();
        if (type == QRVMessage::kTypeRegister) {
            HandleRegistration(connection, message->GetCommand());
            continue;
        }
        // Before registration only the registration frame is accepted, and
        // applications send nothing but envelopes.
        if (c.address <= 0 || type != QRVMessage::kTypeEnvelope) {
            Drop(connection);
            return;
        }
        message->SetSourceAddress(c.address);
        if (onMessageView_) {
            onMessageView_(c.address, *message);
        } else if (onMessage_) {
            onMessage_(c.address, std::move(owned));
        }
    }
}

void IPCServer::HandleRegistration(const std::shared_ptr<Connection>& connection,
                                   std::int32_t address) {
    std::int32_t result = 1;
    if (connection->address > 0) {
        result = -EISCONN;
    } else if (address <= 0) {
        result = -EINVAL;
    } else if (auto holder = Find(address)) {
        // An application that restarts may be quicker than the notice that its
        // old connection ended.
        if (PeerGone(holder->fd)) {
            Drop(holder);
        } else {
            result = -EADDRINUSE;
        }
    }

    // The address is taken before the acknowledgement goes out, so that an
    // application that holds it can be written to at once. Only this thread
    // registers, so the address is still free.
    if (result > 0) {
        std::lock_guard<std::mutex> guard(lock_);
        connection->address = address;
        byAddress_[address] = connection;
    }
    if (result <= 0 && onRefusal_) onRefusal_(address, result);
    QRVMessage ack(QRVMessage::kTypeRegisterAck, result, address);
    ack.SetSourceAddress(serverAddress_);
    std::vector<std::uint8_t> frame;
    ack.Serialize(frame);
    if (Send(connection, frame.data(), frame.size()) < 0) {
        // The application never learnt the outcome: nothing to report.
        Drop(connection);
        std::lock_guard<std::mutex> guard(lock_);
        connection->address = 0;
        return;
    }
    if (result <= 0) return;

    // A former holder of the address is reported gone first. This connection
    // is left for the next pass even if another thread dropped it meanwhile,
    // so that its end is never reported before its start.
    FinalizeDropped(connection.get());
    if (onConnection_) onConnection_(address, true);
}

void IPCServer::Drop(const std::shared_ptr<Connection>& connection) {
    if (connection->dropped.exchange(true)) return;
    ::shutdown(connection->fd, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> guard(lock_);
        const auto it = byAddress_.find(connection->address);
        if (it != byAddress_.end() && it->second == connection) byAddress_.erase(it);
    }
    // The I/O thread takes the connection out of its poll set and reports it.
    Wake();
}

// I/O thread: forgets dropped connections (all but `keep`) and reports the
// registered ones gone.
void IPCServer::FinalizeDropped(const Connection* keep) {
    std::vector<std::shared_ptr<Connection>> gone;
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            if (connections_[i]->dropped.load() && connections_[i].get() != keep) {
                gone.push_back(std::move(connections_[i]));
            } else {
                if (kept != i) connections_[kept] = std::move(connections_[i]);
                ++kept;
            }
        }
        connections_.resize(kept);
    }
    for (const auto& connection : gone) {
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, connection->fd, nullptr);
        if (connection->address > 0 && onConnection_) onConnection_(connection->address, false);
    }
}

int IPCServer::Send(const std::shared_ptr<Connection>& connection, const std::uint8_t* bytes,
                    std::size_t length) {
    std::size_t sent = 0;
    int result;
    {
        std::lock_guard<std::mutex> guard(connection->writeLock);
        if (connection->broken) return -EPIPE;
        if (connection->partial) return -EAGAIN;
        result = detail::SendAll(connection->fd, bytes, length, kWriteTimeoutMs, &sent);
        if (result < 0 && sent > 0) {
            connection->broken = true;
            ::shutdown(connection->fd, SHUT_RDWR);
        }
    }
    if (result < 0 && (sent > 0 || result != -ETIMEDOUT)) Drop(connection);
    return result;
}

std::shared_ptr<IPCServer::Connection> IPCServer::Find(std::int32_t address) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = byAddress_.find(address);
    return it != byAddress_.end() ? it->second : nullptr;
}

int IPCServer::Write(std::int32_t address, const QRVMessage& message) {
    const auto connection = Find(address);
    if (!connection) return -EHOSTUNREACH;
    std::vector<std::uint8_t> own;
    std::vector<std::uint8_t>& frame = detail::FrameBuffer::Empty(own);
    if (message.Serialize(frame) == 0) return -EMSGSIZE;
    return Send(connection, frame.data(), frame.size());
}

int IPCServer::WriteRaw(std::int32_t address, const void* bytes, std::size_t length) {
    if (bytes == nullptr && length != 0) return -EINVAL;
    const auto connection = Find(address);
    if (!connection) return -EHOSTUNREACH;
    return Send(connection, static_cast<const std::uint8_t*>(bytes), length);
}

int IPCServer::WriteSome(std::int32_t address, const std::uint8_t* bytes, std::size_t length,
                         std::size_t* written, std::uint64_t* serial) {
    *written = 0;
    const auto connection = Find(address);
    if (!connection) return -EHOSTUNREACH;
    if (*serial == 0) *serial = connection->serial;
    if (*serial != connection->serial) return -ECONNRESET;
    int result = 0;
    {
        std::lock_guard<std::mutex> guard(connection->writeLock);
        if (connection->broken) return -EPIPE;
        while (*written < length) {
            const ssize_t n =
                ::send(connection->fd, bytes + *written, length - *written, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                *written += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) result = n == 0 ? -EPIPE : -errno;
                break;
            }
        }
        connection->partial = *written < length;
        if (result < 0) connection->broken = true;
    }
    if (result < 0) Drop(connection);
    return result;
}

int IPCServer::Disconnect(std::int32_t address) {
    const auto connection = Find(address);
    if (!connection) return -EHOSTUNREACH;
    Drop(connection);
    return 0;
}

int IPCServer::PauseReading(std::int32_t address) {
    const auto connection = Find(address);
    if (!connection) return -EHOSTUNREACH;
    if (connection->pauses++ == 0) ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, connection->fd, nullptr);
    return 0;
}

int IPCServer::ResumeReading(std::int32_t address) {
    const auto connection = Find(address);
    if (!connection) return -EHOSTUNREACH;
    if (connection->pauses > 0 && --connection->pauses == 0) {
        // A connection that cannot be watched again is dropped: it would
        // never be read.
        if (Watch(epollFd_, connection->fd, reinterpret_cast<std::uint64_t>(connection.get())) < 0) {
            Drop(connection);
            return 0;
        }
        resumed_.push_back(connection);
    }
    return 0;
}

std::vector<std::int32_t> IPCServer::RegisteredAddresses() const {
    std::vector<std::int32_t> addresses;
    std::lock_guard<std::mutex> guard(lock_);
    addresses.reserve(byAddress_.size());
    for (const auto& entry : byAddress_) addresses.push_back(entry.first);
    return addresses;
}

}  // namespace PlatformServices
