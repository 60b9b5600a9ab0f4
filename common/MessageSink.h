// Thread rule: Send and Connected may be called from any thread; a sink
// writes through its client's own thread-safe Write.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "IPCClient.h"

namespace CustomApplication {

// One child (type 1) of a request that carries several (SendChildren).
struct ChildMessage {
    std::int32_t command;
    const void* data;  // `length` bytes; null only when `length` is 0
    std::size_t length;
};

// Where a bus component's requests to the platform go: the narrow seam
// between a component and the connection. Tests give a component a fake.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Sends one request: a top-level message (type 0) of `category` to
    // `address` with one child (type 1) of `command` carrying `length` bytes
    // of `data`. 0, or a negative code: -22 without a connection, -ENOMEM
    // (nothing sent) when out of memory, otherwise the write's result.
    [[nodiscard]] virtual int Send(std::int32_t category, std::int32_t address, std::int32_t command,
                                   const void* data, std::size_t length) = 0;
    // Sends `count` children (`count` >= 1) in one request: one top-level
    // message of `category` to `address` that carries them in their order,
    // in one write, so that none waits for the writes of those before it.
    // The platform handles them as if each had come alone. Results as Send;
    // on failure none of them was sent. A sink without a write of its own
    // sends each alone and returns the first failure.
    [[nodiscard]] virtual int SendChildren(std::int32_t category, std::int32_t address,
                                           const ChildMessage* children, std::size_t count) {
        int first = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const int result = Send(category, address, children[i].command, children[i].data, children[i].length);
            if (result != 0 && first == 0) first = result;
        }
        return first;
    }
    // Whether the platform connection is up; a request that waits for an
    // answer fails at once without it.
    [[nodiscard]] virtual bool Connected() const = 0;
    // Counts the connections made: changes each time the connection is made
    // anew, so a request sent over an earlier one knows its answer is lost.
    [[nodiscard]] virtual std::uint32_t Connection() const { return 0; }
    // Whether the caller runs on the thread that receives the platform's
    // answers, where it can get none while it waits.
    [[nodiscard]] virtual bool OnReceivingThread() const { return false; }
    // A registration (what the platform keeps for this application: a
    // subscription, a CA) holds off the restore of a new connection while it
    // publishes and sends, so that it reaches each connection once. False
    // when a restore under way did not end in time: the registration is
    // then refused. Each true result is paired with EndRegistration.
    [[nodiscard]] virtual bool BeginRegistration() { return true; }
    virtual void EndRegistration() {}
    // Ends the connection so that it is made anew and everything registered
    // is sent again: for when the platform may hold a registration only in
    // part, which nothing else could put right.
    virtual void Resynchronise() {}
};

// Whether a write's result means the platform did not take the message (it
// is held up): a registration then fails. After any other failure (the
// connection is gone, or there is none yet) a registration is kept and sent
// again with everything registered once a connection is made.
inline bool NotTaken(int result) { return result == -11; }

// Whether a write's result means the connection is gone: lost, or closed by
// the instance's shutdown. A request that waits for an answer reports that
// as kNotConnected, whatever the socket said.
inline bool ConnectionGone(int result) { return result == -EPIPE || result == -ENOTCONN || result == -ECONNRESET; }

// One registration's hold (see MessageSink::BeginRegistration).
class RegistrationScope {
public:
    explicit RegistrationScope(MessageSink& sink) : sink_(sink), held_(sink.BeginRegistration()) {}
    ~RegistrationScope() {
        if (held_) sink_.EndRegistration();
    }
    RegistrationScope(const RegistrationScope&) = delete;
    RegistrationScope& operator=(const RegistrationScope&) = delete;
    bool Held() const { return held_; }

private:
    MessageSink& sink_;
    const bool held_;
};

// Sends a request through `client` as MessageSink::Send describes (-22 for a
// null client).
[[nodiscard]] int SendThroughClient(PlatformServices::IPCClient* client, std::int32_t category,
                                    std::int32_t address, std::int32_t command, const void* data,
                                    std::size_t length);

// Sends `count` children in one request through `client`, as
// MessageSink::SendChildren describes (-22 for a null client or none to
// send, -EMSGSIZE when they do not fit one message).
[[nodiscard]] int SendChildrenThroughClient(PlatformServices::IPCClient* client, std::int32_t category,
                                            std::int32_t address, const ChildMessage* children, std::size_t count);

// Request number `requestId` (child command 0, 2 bytes, little-endian) to
// `category` at `address`.
[[nodiscard]] int SendRequestNumber(MessageSink& sink, std::int32_t category, std::int32_t address,
                                    std::int32_t requestId);

// The sink over one client, which outlives it.
class ClientSink final : public MessageSink {
public:
    explicit ClientSink(PlatformServices::IPCClient* client) : client_(client) {}
    int Send(std::int32_t category, std::int32_t address, std::int32_t command, const void* data,
             std::size_t length) override {
        return SendThroughClient(client_, category, address, command, data, length);
    }
    int SendChildren(std::int32_t category, std::int32_t address, const ChildMessage* children,
                     std::size_t count) override {
        return SendChildrenThroughClient(client_, category, address, children, count);
    }
    bool Connected() const override { return client_ != nullptr && client_->IsActive(); }
    std::uint32_t Connection() const override { return client_ != nullptr ? client_->Connections() : 0; }

private:
    PlatformServices::IPCClient* const client_;
};

}  // namespace CustomApplication
