// Thread rule: Write, IsActive and Shutdown may be called from any thread at
// any time. Connect and RegisterAddress are called once, before any Read.
// Read and Reconnect have a single caller thread at a time (the
// application's listener).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "QRVMessage.h"

namespace PlatformServices {

// Environment variable that, when set and not empty, replaces the endpoint
// path given to IPCClient::Connect and the default path of IPCServer.
constexpr const char* kEndpointEnvVar = "GATREL_ENDPOINT";

// Returns the path that `path` resolves to after the environment override.
const char* ResolveEndpoint(const char* path);

// The application side of the platform connection: a Unix-domain stream
// socket carrying length-prefixed frames.
class IPCClient {
public:
    IPCClient();
    ~IPCClient();  // closes the socket; no other call may be in progress
    IPCClient(const IPCClient&) = delete;
    IPCClient& operator=(const IPCClient&) = delete;

    // Connects to the endpoint (after the environment override). 0 on
    // success, a negative errno value otherwise (-EISCONN when connected).
    int Connect(const char* path);

    // Registers the application's IPC address and waits for the server's
    // acknowledgement (at most kRegisterTimeoutMs). Returns a value greater
    // than 0 on success, a negative errno value on failure (-ENOMEM when out
    // of memory); never 0.
    int RegisterAddress(std::int32_t address);
    static constexpr int kRegisterTimeoutMs = 2000;

    // Blocks until at least one whole top-level message has arrived, then
    // appends the whole messages received so far, at most kMaxBatch of them,
    // to `batch`; the rest are returned by the next calls without waiting.
    // Returns the count appended, 0 when woken by Shutdown or when the peer
    // closed the connection, a negative errno value when the stream was
    // malformed, -ENOMEM when out of memory (what was not appended stays
    // buffered for the next call). Only ever called from one thread at a time.
    int Read(MessageBatch& batch);
    // Small enough for a batch's messages to stay in the processor's cache
    // between decoding, handling and recycling.
    static constexpr int kMaxBatch = 64;

    // Takes the messages of `batch` (from earlier Reads, done with) for reuse
    // by later Reads and empties it. A reader that recycles each batch
    // allocates nothing per message once its pool has grown; the pool keeps
    // at most kPoolBytes of storage and frees the rest. Called only by the
    // thread that calls Read.
    void Recycle(MessageBatch& batch);
    static constexpr std::size_t kPoolBytes = 512 * 1024;

    // Sends one message as one frame; concurrent writers never interleave.
    // 0 on success, a negative errno value otherwise (-ENOMEM, sending
    // nothing, when the frame cannot be encoded for want of memory).
    // A platform that has stopped reading costs messages, never the
    // connection: a writer that could not start its frame within
    // kWriteTimeoutMs (its wait for another writer included) gives it up
    // with -EAGAIN, sending nothing, and the stream stays whole. A frame that
    // went out in part is finished, however long the platform takes, up to
    // kFinishTimeoutMs, unless Shutdown comes first: a frame cut short would
    // corrupt the stream, so only then is the connection lost. A connection
    // that is lost (the platform closed it, went away or broke the stream)
    // fails every Write at once with -ENOTCONN until Reconnect; after
    // Shutdown, Write fails with -EPIPE.
    int Write(const QRVMessage& message);
    int Write(const QRVMessage* message) { return message ? Write(*message) : -22; }
    static constexpr int kWriteTimeoutMs = 500;
    static constexpr int kFinishTimeoutMs = 10'000;

    // After the connection was lost: connects a new socket to the endpoint in
    // place of the old one (the descriptor number stays the same, so no
    // thread can reach a descriptor reused by something else), registers
    // `address` on it and, only once the platform acknowledged it, makes the
    // connection active again. Bytes of the old stream not yet read are
    // dropped. 0 on success; -EISCONN when the connection is active; -EPIPE
    // after Shutdown; otherwise a negative errno value from connecting or
    // registering, the connection staying lost.
    int Reconnect(const char* path, std::int32_t address);

    // Test hook: sets the socket's send buffer (SO_SNDBUF), so that a test
    // can make a frame go out in part. 0 or a negative errno value.
    int TEST_SetSendBuffer(int bytes);

    // From now on no write waits for room or for its turn beyond `ms` from
    // now (a frame under way is still finished until Shutdown): the last
    // withdrawals before a Shutdown stay prompt with a platform that has
    // stopped reading.
    void BoundWrites(int ms);

    // Ends an active connection as if the platform had closed it: the
    // reader sees it lost (Read returns 0) and the application connects anew.
    void Drop() {
        if (IsActive()) Lose();
    }

    bool IsActive() const { return active_.load(std::memory_order_acquire); }
    // How many times Reconnect has succeeded.
    std::uint32_t Connections() const { return connections_.load(std::memory_order_acquire); }

    // Ends a blocked Read (now and for every later call) and makes IsActive
    // false. Idempotent; safe from any thread, also from inside a Read caller.
    void Shutdown();

private:
    // A new socket connected to the endpoint `path` resolves to, or a
    // negative errno value. Without `wait`, a platform that accepts nothing
    // (its backlog full) fails the call instead of holding it up.
    static int Dial(const char* path, bool wait);
    // Sends the registration request and waits for its acknowledgement.
    int Register(std::int32_t address);
    // Sends an encoded frame as Write describes, also on a connection not yet
    // active (`requireActive` false: the registration on a new socket).
    int SendFrame(const std::vector<std::uint8_t>& frame, bool requireActive);
    // Ends the stream: the platform sees it closed and the reader wakes.
    void Lose();
    int ReadMore(int timeoutMs);
    int TakeFrames(MessageBatch& batch);
    void Pool(std::unique_ptr<QRVMessage>& message);

    std::atomic<int> fd_{-1};        // set once by Connect (Reconnect keeps the number), closed by the destructor
    std::atomic<bool> active_{false};
    std::atomic<bool> shutdown_{false};
    std::atomic<std::uint32_t> connections_{0};
    // Steady-clock nanoseconds beyond which no write waits (BoundWrites).
    std::atomic<std::int64_t> writesEnd_{INT64_MAX};
    // The turn to write, held across a frame's sending so that frames never
    // interleave; a writer waits for it until a deadline. (A flag under a
    // plain mutex: the lock itself is never held across a send.)
    class WriteTurn {
    public:
        WriteTurn(IPCClient& client, std::chrono::steady_clock::time_point deadline);
        ~WriteTurn();
        WriteTurn(const WriteTurn&) = delete;
        WriteTurn& operator=(const WriteTurn&) = delete;
        bool Held() const { return held_; }

    private:
        IPCClient& client_;
        bool held_;
    };
    std::mutex writeLock_;
    std::condition_variable writeDone_;
    bool writing_ = false;  // guarded by writeLock_
    std::vector<std::uint8_t> rx_;   // bytes received, not yet parsed
    std::size_t rxStart_ = 0;        // first unparsed byte in rx_
    std::size_t rxEnd_ = 0;          // end of the received bytes in rx_
    struct Pooled {
        std::unique_ptr<QRVMessage> message;
        std::size_t bytes;  // its StorageBytes when pooled
    };
    std::vector<Pooled> pool_;       // messages for reuse by TakeFrames (Read's thread)
    std::size_t pooledBytes_ = 0;
};

}  // namespace PlatformServices
