// Thread rule: Write, IsActive and Shutdown may be called from any thread at
// any time. Connect and RegisterAddress are called once, before any Read.
// Read has a single caller thread at a time (the application's listener).
#pragma once

#include <atomic>
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
    // nothing, when the frame cannot be encoded for want of memory). A frame
    // that cannot be sent whole within kWriteTimeoutMs (the platform stopped
    // reading) or whose sending fails costs the connection: it is shut down
    // as if the platform had closed it (IsActive false, Read ends), and this
    // and every later Write fail at once with -EPIPE. So no writer waits
    // longer than kWriteTimeoutMs for its frame plus the frame ahead of it.
    int Write(const QRVMessage& message);
    int Write(const QRVMessage* message) { return message ? Write(*message) : -22; }
    static constexpr int kWriteTimeoutMs = 500;

    bool IsActive() const { return active_.load(std::memory_order_acquire); }

    // Ends a blocked Read (now and for every later call) and makes IsActive
    // false. Idempotent; safe from any thread, also from inside a Read caller.
    void Shutdown();

private:
    int ReadMore(int timeoutMs);
    int TakeFrames(MessageBatch& batch);
    void Pool(std::unique_ptr<QRVMessage>& message);

    std::atomic<int> fd_{-1};        // set once by Connect, closed by the destructor
    std::atomic<bool> active_{false};
    std::atomic<bool> shutdown_{false};
    std::mutex writeLock_;
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
