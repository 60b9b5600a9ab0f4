// Internal to the platform layer: socket helpers shared by IPCClient and
// IPCServer. Thread rule: the functions keep no state; each buffer belongs to
// the one thread that reads its connection.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace PlatformServices {
namespace detail {

// Every read() asks for at least this many bytes, so that a burst of small
// frames is taken in one system call.
constexpr std::size_t kReadChunk = 64 * 1024;

// The calling thread's buffer for encoding outgoing frames, kept between
// writes so that a steady sender does not allocate per message. Null once the
// thread's thread-local objects are being destroyed: a write made then (an
// instance destroyed by a static destructor at exit, say) must encode into
// a buffer of its own instead of the destroyed one.
class FrameBuffer {
public:
    static std::vector<std::uint8_t>* OfThisThread() {
        if (gone_) return nullptr;
        thread_local FrameBuffer buffer;
        return gone_ ? nullptr : &buffer.bytes_;
    }
    // The thread's buffer, emptied, or `fallback` when it is gone.
    static std::vector<std::uint8_t>& Empty(std::vector<std::uint8_t>& fallback) {
        std::vector<std::uint8_t>* buffer = OfThisThread();
        std::vector<std::uint8_t>& frame = buffer != nullptr ? *buffer : fallback;
        frame.clear();
        return frame;
    }

private:
    FrameBuffer() = default;
    ~FrameBuffer() { gone_ = true; }
    std::vector<std::uint8_t> bytes_;
    // Trivially destructible, so it stays readable through the thread's end.
    static thread_local bool gone_;
};
inline thread_local bool FrameBuffer::gone_ = false;

// Fills `address` for a Unix-domain socket at `path`. 0, -EINVAL for a null or
// empty path, -ENAMETOOLONG when the path does not fit sun_path.
inline int FillUnixAddress(const char* path, sockaddr_un& address, socklen_t& length) {
    if (path == nullptr || path[0] == '\0') return -EINVAL;
    const std::size_t n = std::strlen(path);
    if (n >= sizeof(address.sun_path)) return -ENAMETOOLONG;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, n + 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
    return 0;
}

// Receive buffer of one connection: bytes [start, end) of `bytes` are received
// and not parsed yet. Whole frames are consumed from `start`; before each read
// the unparsed tail (always less than one frame) is moved to the front when
// the free space has fallen under kReadChunk, so the buffer stays below
// kMaxFrameBytes + kReadChunk and each byte is moved at most once per read.
struct RxBuffer {
    std::vector<std::uint8_t>& bytes;
    std::size_t& start;
    std::size_t& end;

    // Returns where the next read stores its bytes; `*space` >= kReadChunk.
    std::uint8_t* PrepareRead(std::size_t* space) {
        if (start == end) start = end = 0;
        if (bytes.size() - end < kReadChunk) {
            if (start > 0) {
                std::memmove(bytes.data(), bytes.data() + start, end - start);
                end -= start;
                start = 0;
            }
            if (bytes.size() - end < kReadChunk) bytes.resize(end + kReadChunk);
        }
        *space = bytes.size() - end;
        return bytes.data() + end;
    }
    const std::uint8_t* Data() const { return bytes.data() + start; }
    std::size_t Size() const { return end - start; }
    void Consume(std::size_t n) {
        start += n;
        if (start == end) start = end = 0;
    }
};

// Sends all `length` bytes. Works on blocking and non-blocking sockets (each
// send is non-blocking): when the socket is full, waits for room, at most
// `timeoutMs` in total (negative: no limit). 0 on success, a negative errno
// value otherwise (-ETIMEDOUT when the time ran out). `*sent` receives the
// number of bytes that went out.
inline int SendAll(int fd, const std::uint8_t* data, std::size_t length, int timeoutMs,
                   std::size_t* sent) {
    using Steady = std::chrono::steady_clock;
    const Steady::time_point deadline =
        Steady::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::size_t done = 0;
    int result = 0;
    while (done < length) {
        const ssize_t n = ::send(fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            result = -EPIPE;
            break;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            result = -errno;
            break;
        }
        int waitMs = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
            if (left.count() <= 0) {
                result = -ETIMEDOUT;
                break;
            }
            waitMs = static_cast<int>(left.count());
        }
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, waitMs);
        if (r < 0 && errno != EINTR) {
            result = -errno;
            break;
        }
        // On POLLERR or POLLHUP the next send() reports the error.
    }
    if (sent != nullptr) *sent = done;
    return result;
}

}  // namespace detail
}  // namespace PlatformServices
