#include "IPCClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "SocketIO.h"

namespace PlatformServices {

const char* ResolveEndpoint(const char* path) {
    const char* overridden = std::getenv(kEndpointEnvVar);
    return (overridden != nullptr && overridden[0] != '\0') ? overridden : path;
}

IPCClient::IPCClient() = default;

IPCClient::~IPCClient() {
    const int fd = fd_.load();
    if (fd >= 0) ::close(fd);
}

int IPCClient::Dial(const char* path, bool wait) {
    sockaddr_un address;
    socklen_t addressLength = 0;
    const int filled = detail::FillUnixAddress(ResolveEndpoint(path), address, addressLength);
    if (filled < 0) return filled;

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) return -errno;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), addressLength) < 0) {
        int error = errno;
        if (error == EINTR) {
            // The connection goes on in the background; wait for its outcome.
            pollfd p{fd, POLLOUT, 0};
            int r;
            do {
                r = ::poll(&p, 1, -1);
            } while (r < 0 && errno == EINTR);
            socklen_t length = sizeof(error);
            if (r < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
        }
        if (error != 0) {
            ::close(fd);
            return -error;
        }
    }
    // Every later send and receive waits in poll; the socket itself blocks.
    if (!wait && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    return fd;
}

int IPCClient::Connect(const char* path) {
    if (fd_.load() >= 0) return -EISCONN;
    if (shutdown_.load()) return -EPIPE;
    const int fd = Dial(path, true);
    if (fd < 0) return fd;

    fd_.store(fd);
    active_.store(true, std::memory_order_release);
    // A Shutdown that ran while the socket was being connected did not see it.
    if (shutdown_.load()) {
        active_.store(false, std::memory_order_release);
        ::shutdown(fd, SHUT_RDWR);
    }
    return 0;
}

int IPCClient::Reconnect(const char* path, std::int32_t address) {
    if (shutdown_.load()) return -EPIPE;
    if (IsActive()) return -EISCONN;
    const int old = fd_.load();
    if (old < 0) return -ENOTCONN;
    // Without waiting: a platform whose backlog is full is tried again later.
    const int fresh = Dial(path, false);
    if (fresh < 0) return fresh;
    {
        // No frame of the old stream is under way once the turn is ours (on a
        // lost connection a writer fails at once), so none can continue on
        // the new socket.
        const WriteTurn turn(*this, std::chrono::steady_clock::time_point::max());
        const int replaced = ::dup3(fresh, old, O_CLOEXEC);
        const int error = errno;
        ::close(fresh);
        if (replaced < 0) return -error;
    }
    rxStart_ = rxEnd_ = 0;
    // A Shutdown that ran before the socket was replaced did not see it.
    if (shutdown_.load()) {
        ::shutdown(old, SHUT_RDWR);
        return -EPIPE;
    }
    const int registered = Register(address);
    if (registered <= 0) {
        Lose();
        return registered < 0 ? registered : -EPROTO;
    }
    // Counted before it shows as active: a request sent over the old
    // connection then never takes the new one for its own.
    connections_.fetch_add(1, std::memory_order_acq_rel);
    active_.store(true, std::memory_order_release);
    if (shutdown_.load()) {
        Lose();
        return -EPIPE;
    }
    return 0;
}

IPCClient::WriteTurn::WriteTurn(IPCClient& client, std::chrono::steady_clock::time_point deadline)
    : client_(client) {
    std::unique_lock<std::mutex> lock(client_.writeLock_);
    const auto free = [this] { return !client_.writing_; };
    if (deadline == std::chrono::steady_clock::time_point::max()) {
        client_.writeDone_.wait(lock, free);
        held_ = true;
    } else {
        held_ = client_.writeDone_.wait_until(lock, deadline, free);
    }
    if (held_) client_.writing_ = true;
}

IPCClient::WriteTurn::~WriteTurn() {
    if (!held_) return;
    {
        std::lock_guard<std::mutex> lock(client_.writeLock_);
        client_.writing_ = false;
    }
    client_.writeDone_.notify_one();
}

int IPCClient::TEST_SetSendBuffer(int bytes) {
    return ::setsockopt(fd_.load(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0 ? 0 : -errno;
}

void IPCClient::BoundWrites(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end.time_since_epoch()).count();
    if (ns < writesEnd_.load()) writesEnd_.store(ns, std::memory_order_release);
}

void IPCClient::Lose() {
    active_.store(false, std::memory_order_release);
    ::shutdown(fd_.load(), SHUT_RDWR);
}

// Out of memory anywhere in the exchange (encoding the request, growing the
// receive buffer, decoding a frame) ends it with -ENOMEM; the bytes received
// stay buffered.
int IPCClient::RegisterAddress(std::int32_t address) {
    if (fd_.load() < 0) return -ENOTCONN;
    if (shutdown_.load()) return -EPIPE;
    return Register(address);
}

int IPCClient::Register(std::int32_t address) try {
    QRVMessage request(QRVMessage::kTypeRegister, address, 0);
    request.SetSourceAddress(address);
    std::vector<std::uint8_t> frame;
    if (request.Serialize(frame) == 0) return -EMSGSIZE;
    const int written = SendFrame(frame, false);
    if (written < 0) return written;

    using Steady = std::chrono::steady_clock;
    const Steady::time_point deadline =
        Steady::now() + std::chrono::milliseconds(kRegisterTimeoutMs);
    // Frames ahead of the acknowledgement (possible only when an address is
    // registered already) stay buffered for Read, as do those behind it.
    detail::RxBuffer rx{rx_, rxStart_, rxEnd_};
    std::size_t scanned = 0;  // bytes of whole frames after rxStart_ already looked at
    for (;;) {
        for (;;) {
            std::unique_ptr<QRVMessage> message;
            std::size_t used = 0;
            const auto parsed =
                QRVMessage::ParseFrame(rx.Data() + scanned, rx.Size() - scanned, &message, &used);
            if (parsed == QRVMessage::ParseResult::kIncomplete) break;
            if (parsed == QRVMessage::ParseResult::kMalformed) {
                Lose();  // the stream is lost: let the server know
                return -EPROTO;
            }
            if (message->GetMessageType() != QRVMessage::kTypeRegisterAck) {
                scanned += used;
                continue;
            }
            // Cut the acknowledgement out of the buffer.
            std::uint8_t* at = rx_.data() + rxStart_ + scanned;
            std::memmove(at, at + used, rx.Size() - scanned - used);
            rxEnd_ -= used;
            const std::int32_t result = message->GetCommand();
            if (result > 0) return 1;
            return result < 0 ? result : -EPROTO;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
        if (left <= 0) return -ETIMEDOUT;
        const int r = ReadMore(static_cast<int>(left));
        if (r > 0) continue;
        if (r == -ETIMEDOUT) return r;
        active_.store(false, std::memory_order_release);
        if (shutdown_.load()) return -EPIPE;
        return (r == 0 || r == -ECONNRESET) ? -ECONNRESET : r;
    }
} catch (const std::bad_alloc&) {
    return -ENOMEM;
}

// Waits (at most `timeoutMs`, negative: no limit) until the socket is
// readable, then reads once into the receive buffer. Returns the byte count,
// 0 at the end of the stream, -ETIMEDOUT, or another negative errno value.
int IPCClient::ReadMore(int timeoutMs) {
    const int fd = fd_.load();
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeoutMs);
        if (r > 0) break;
        if (r == 0) return -ETIMEDOUT;
        if (errno != EINTR) return -errno;
    }
    detail::RxBuffer rx{rx_, rxStart_, rxEnd_};
    std::size_t space = 0;
    std::uint8_t* into = rx.PrepareRead(&space);
    for (;;) {
        const ssize_t n = ::recv(fd, into, space, 0);
        if (n >= 0) {
            rxEnd_ += static_cast<std::size_t>(n);
            return static_cast<int>(n);
        }
        if (errno != EINTR) return -errno;
    }
}

// Moves every whole buffered frame of an application message into `batch`.
// Returns the count moved, or -EPROTO when the stream is malformed at its
// front (frames before the fault are delivered first).
int IPCClient::TakeFrames(MessageBatch& batch) {
    detail::RxBuffer rx{rx_, rxStart_, rxEnd_};
    int count = 0;
    std::unique_ptr<QRVMessage> message;  // a frame of another type leaves it for the next
    while (count < kMaxBatch) {
        if (!message) {
            if (!pool_.empty()) {
                message = std::move(pool_.back().message);
                pooledBytes_ -= pool_.back().bytes;
                pool_.pop_back();
            } else {
                message = std::make_unique<QRVMessage>(QRVMessage::kTypeEnvelope, 0, 0);
            }
        }
        std::size_t used = 0;
        const auto parsed = QRVMessage::ParseFrameInto(rx.Data(), rx.Size(), message.get(), &used);
        if (parsed == QRVMessage::ParseResult::kIncomplete) break;
        if (parsed == QRVMessage::ParseResult::kMalformed) {
            if (count == 0) count = -EPROTO;
            break;
        }
        if (message->GetMessageType() == QRVMessage::kTypeEnvelope) {
            batch.push_back(std::move(message));  // may throw: the frame then stays buffered
            ++count;
        }
        rx.Consume(used);
    }
    if (message) Pool(message);
    return count;
}

void IPCClient::Recycle(MessageBatch& batch) {
    for (auto& message : batch) {
        if (message) Pool(message);
    }
    batch.clear();
}

// Keeps `message` for reuse if the pool has room for its storage; otherwise
// leaves it where it is, to be freed by its owner.
void IPCClient::Pool(std::unique_ptr<QRVMessage>& message) {
    const std::size_t bytes = message->StorageBytes();
    if (bytes > kPoolBytes - pooledBytes_) return;
    try {
        pool_.push_back(Pooled{nullptr, bytes});
    } catch (const std::bad_alloc&) {
        return;
    }
    pool_.back().message = std::move(message);
    pooledBytes_ += bytes;
}

// Out of memory (growing the receive buffer, taking or filling a message,
// growing the batch) ends the call with -ENOMEM. The messages appended by
// then stay in the batch and the bytes not yet decoded stay buffered, so the
// next call goes on where this one stopped.
int IPCClient::Read(MessageBatch& batch) try {
    if (shutdown_.load()) return 0;
    if (fd_.load() < 0) return -ENOTCONN;
    for (;;) {
        const int taken = TakeFrames(batch);
        if (taken > 0) return taken;
        if (taken < 0) {
            // The stream cannot be resynchronised: end the connection, so that
            // the server too sees it gone.
            Lose();
            return taken;
        }
        if (shutdown_.load()) return 0;
        const int r = ReadMore(-1);
        if (r > 0) continue;
        active_.store(false, std::memory_order_release);
        if (r == 0 || r == -ECONNRESET || shutdown_.load()) return 0;
        return r;
    }
} catch (const std::bad_alloc&) {
    return -ENOMEM;
}

int IPCClient::Write(const QRVMessage& message) {
    if (shutdown_.load()) return -EPIPE;
    if (fd_.load() < 0 || !IsActive()) return -ENOTCONN;

    // One buffer per writing thread: no allocation per message once it has grown.
    std::vector<std::uint8_t> own;
    std::vector<std::uint8_t>& frame = detail::FrameBuffer::Empty(own);
    try {
        if (message.Serialize(frame) == 0) return -EMSGSIZE;
    } catch (const std::bad_alloc&) {
        return -ENOMEM;  // the buffer could not grow to the frame
    }
    return SendFrame(frame, true);
}

int IPCClient::SendFrame(const std::vector<std::uint8_t>& frame, bool requireActive) {
    using Steady = std::chrono::steady_clock;
    const Steady::time_point deadline =
        std::min(Steady::now() + std::chrono::milliseconds(kWriteTimeoutMs),
                 Steady::time_point(std::chrono::nanoseconds(writesEnd_.load(std::memory_order_acquire))));
    // A writer ahead that is finishing a frame for a slow platform holds the
    // turn for longer than this one may wait.
    const WriteTurn turn(*this, deadline);
    if (!turn.Held()) return -EAGAIN;
    if (shutdown_.load()) return -EPIPE;
    if (requireActive && !IsActive()) return -ENOTCONN;
    const int fd = fd_.load();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    std::size_t sent = 0;
    int result = detail::SendAll(fd, frame.data(), frame.size(), left > 0 ? static_cast<int>(left) : 0, &sent);
    // Nothing went out: the stream is whole and the connection stays.
    if (result == -ETIMEDOUT && sent == 0) return -EAGAIN;
    if (result == -ETIMEDOUT) {
        // Part of the frame went out: the rest must follow, or the stream is
        // lost. Shutdown ends this wait at once (the send then fails).
        std::size_t rest = 0;
        result = detail::SendAll(fd, frame.data() + sent, frame.size() - sent, kFinishTimeoutMs, &rest);
    }
    if (result == 0) return 0;
    // A platform that has gone, or a frame cut short: the stream cannot go
    // on. Ending it wakes the reader and tells the platform.
    Lose();
    return shutdown_.load() ? -EPIPE : -ENOTCONN;
}

void IPCClient::Shutdown() {
    shutdown_.store(true);
    active_.store(false, std::memory_order_release);
    // Wakes a poll, recv or send blocked in another thread; the descriptor
    // stays open until the destructor, so no thread can reach a reused one.
    const int fd = fd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace PlatformServices
