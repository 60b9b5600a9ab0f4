// Thread rule: every public member may be called from any thread, also from
// inside the handlers, except Start (once), Serve and Stop (never from a
// handler). Handlers run on the server's own I/O thread, or, when the server
// is driven (Start with kDriven), on the one thread that calls Serve; one at a
// time, with no lock of the server held. A driven server's Serve and Stop are
// called from one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QRVMessage.h"

namespace PlatformServices {

// The platform side of the connection: accepts applications on a Unix-domain
// socket, takes their address registrations and exchanges framed messages
// with them. A connection that sends malformed framing is dropped.
class IPCServer {
public:
    // A message received from the application registered as `sourceAddress`
    // (its source address field has been set to that address).
    using MessageHandler = std::function<void(std::int32_t sourceAddress, std::unique_ptr<QRVMessage> message)>;
    // The same, lent for the call only: the server receives the next message
    // into the same object, so a steady stream allocates nothing.
    using MessageViewHandler = std::function<void(std::int32_t sourceAddress, QRVMessage& message)>;
    // An application registered (`connected` true) or its connection ended.
    using ConnectionHandler = std::function<void(std::int32_t address, bool connected)>;
    // A registration refused: the address asked for and the (negative) result
    // sent to the application, e.g. -EADDRINUSE for an address in use.
    using RefusalHandler = std::function<void(std::int32_t address, std::int32_t result)>;

    // Who runs the I/O: a thread of the server's own, or the owner, through
    // Serve, beside its other work.
    enum class Threading { kOwnThread, kDriven };

    explicit IPCServer(std::int32_t serverAddress = 1);
    ~IPCServer();  // Stop()
    IPCServer(const IPCServer&) = delete;
    IPCServer& operator=(const IPCServer&) = delete;

    // Set before Start. A view handler, when set, is called instead of the
    // message handler.
    void SetMessageHandler(MessageHandler handler);
    void SetMessageViewHandler(MessageViewHandler handler);
    void SetConnectionHandler(ConnectionHandler handler);
    void SetRefusalHandler(RefusalHandler handler);

    // What a server open to untrusted local clients holds them to. Every
    // connection that has not registered is closed once `registrationTimeoutMs`
    // have passed since it was accepted; once more than `maxUnregistered` wait
    // for their registration, the one that waited longest is closed, so that a
    // newcomer (an application reconnecting) is never refused. A registered
    // connection is never closed for these. `socketMode` is given to the socket
    // file before anyone can connect.
    struct Limits {
        int registrationTimeoutMs = -1;  // negative: no limit
        std::size_t maxUnregistered = 0; // 0: no cap
        int socketMode = -1;             // negative: as the process's umask leaves it
    };
    // Set before Start.
    void SetLimits(const Limits& limits) { limits_ = limits; }

    // Binds `path` exactly as given (a stale socket file is replaced) and
    // starts the I/O thread (kOwnThread). 0 on success, a negative errno value
    // otherwise.
    int Start(const std::string& path, Threading threading = Threading::kOwnThread);
    // Driven server: waits at most `timeoutMs` (negative: without limit) for a
    // connection, a message or Wake, then accepts, reads and runs the handlers
    // for what is ready, on the calling thread.
    void Serve(int timeoutMs);
    // Ends a wait in Serve soon (from any thread).
    void Wake();
    // Ends the I/O thread, closes every connection (a driven server reports
    // them gone on the calling thread) and removes the socket file.
    // Idempotent. Must not be called from a handler.
    void Stop();

    std::int32_t GetServerAddress() const { return serverAddress_; }
    const std::string& Path() const { return path_; }

    // Sends `message` to the application registered as `address`. 0 on
    // success, -EHOSTUNREACH for an unknown address, another negative errno
    // value when the write failed.
    int Write(std::int32_t address, const QRVMessage& message);
    int Write(std::int32_t address, const QRVMessage* message) {
        return message ? Write(address, *message) : -22;
    }
    // Sends raw bytes, framing included (for tests of malformed input).
    int WriteRaw(std::int32_t address, const void* bytes, std::size_t length);
    // Writes as much of `bytes` (whole frames, one after the other) as the
    // connection of `address` takes now, without waiting; `*written` gets the
    // count. A writer that keeps many frames queued per application sends
    // them this way in one system call. When not all of them went out, the
    // caller writes the rest next (it may end inside a frame), and until then
    // every other write to the connection fails with -EAGAIN. `*connection` names the connection:
    // 0 on the first call (it is then set); a later call with the value set
    // fails with -ECONNRESET once `address` belongs to another connection, so
    // that the rest of a frame never reaches a successor.
    // 0 (also when the socket took nothing), -EHOSTUNREACH for an unknown
    // address, another negative errno value when the connection failed
    // (it is then dropped).
    int WriteSome(std::int32_t address, const std::uint8_t* bytes, std::size_t length, std::size_t* written,
                  std::uint64_t* connection);
    // Closes the connection of `address`. 0, or -EHOSTUNREACH.
    int Disconnect(std::int32_t address);
    // Stops reading from the connection of `address` after the message being
    // handled, so that its writes wait (flow control, an operator's stall),
    // until as many ResumeReading calls. I/O thread only: a handler, or the
    // thread that drives Serve. 0, or -EHOSTUNREACH.
    int PauseReading(std::int32_t address);
    // Undoes one PauseReading; once none is left, messages already received
    // are handled in the next Serve. I/O thread only, as PauseReading. 0, or
    // -EHOSTUNREACH.
    int ResumeReading(std::int32_t address);

    // Addresses registered at this moment, ascending.
    std::vector<std::int32_t> RegisteredAddresses() const;

private:
    struct Connection;
    void Run();
    // One pass of the I/O loop: waits at most `timeoutMs` for readiness.
    void Pass(int timeoutMs);
    void DropAll();
    bool AcceptAll();
    void HandleReadable(const std::shared_ptr<Connection>& connection);
    // Handles the whole messages received from `connection` so far.
    void HandleReceived(const std::shared_ptr<Connection>& connection);
    void HandleRegistration(const std::shared_ptr<Connection>& connection, std::int32_t address);
    void Drop(const std::shared_ptr<Connection>& connection);
    void FinalizeDropped(const Connection* keep = nullptr);
    // Closes the unregistered connections past their time; the time of the
    // next one due, or -1.
    std::int64_t ExpireUnregistered(std::int64_t nowMs);
    void CapUnregistered();
    int Send(const std::shared_ptr<Connection>& connection, const std::uint8_t* bytes, std::size_t length);
    std::shared_ptr<Connection> Find(std::int32_t address) const;

    const std::int32_t serverAddress_;
    std::string path_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    int epollFd_ = -1;
    bool serving_ = false;  // started and not stopped (driven or not)
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    MessageHandler onMessage_;
    MessageViewHandler onMessageView_;
    ConnectionHandler onConnection_;
    RefusalHandler onRefusal_;
    Limits limits_;

    // I/O thread only (the thread calling Serve, when driven).
    std::vector<std::shared_ptr<Connection>> polled_;  // the connections during a pass
    std::vector<bool> readable_;                       // which of them epoll found readable
    std::int64_t acceptPausedUntilMs_ = -1;            // -1: the listening socket is watched
    std::unique_ptr<QRVMessage> received_;             // reused for the view handler
    std::vector<std::shared_ptr<Connection>> resumed_; // reading again: what they sent waits to be handled
    std::int64_t registrationDueMs_ = -1;              // the next unregistered connection to expire, or -1

    mutable std::mutex lock_;  // guards connections_, byAddress_ and each connection's address only
    std::vector<std::shared_ptr<Connection>> connections_;
    std::map<std::int32_t, std::shared_ptr<Connection>> byAddress_;
    std::atomic<std::uint64_t> nextSerial_{1};
};

}  // namespace PlatformServices
