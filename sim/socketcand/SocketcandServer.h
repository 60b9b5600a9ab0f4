// Thread rule: Start and Stop from one controlling thread; Publish from any
// thread (the simulator's worker). The injector and the reporter run on the
// server's own thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "bus/Frames.h"
#include "socketcand/SocketcandProtocol.h"

namespace gatewaysim {

// Serves the simulated CAN buses to CAN tools over TCP in socketcand's raw
// mode (SocketcandProtocol.h). One connection carries one bus: a frame that
// a client sends goes to the injector (which puts it on the bus), and every
// frame published for a bus is queued for each client that opened it.
// A client's queue is bounded: one that does not read its frames is
// dropped, and the bus never waits for it.
class SocketcandServer {
public:
    // Puts a frame from client number `client` on its bus: 1 when taken, 0
    // when the client's transmit queue is full (the frame is offered again
    // later, and the client is not read meanwhile), -1 when the simulator is
    // stopping.
    using Injector = std::function<int(const CanFrame& frame, std::int32_t client)>;
    using Reporter = std::function<void(const std::string& line)>;

    static constexpr std::uint16_t kDefaultPort = 29536;
    static constexpr std::size_t kMaxClients = 32;
    static constexpr std::size_t kMaxQueuedBytes = 64 * 1024;
    static constexpr int kReportedErrors = 10;
    // Clients read the reply to raw mode on its own before their first
    // frame; frames of the first moments wait that long behind it.
    static constexpr int kSettleMs = 100;
    // A client whose frame was not taken offers it again this often.
    static constexpr int kHeldRetryMs = 1;

    explicit SocketcandServer(Reporter reporter) : report_(std::move(reporter)) {}
    ~SocketcandServer() { Stop(); }
    SocketcandServer(const SocketcandServer&) = delete;
    SocketcandServer& operator=(const SocketcandServer&) = delete;

    // Listens on `host` (an IPv4 address, or a host name: its first IPv4
    // address) and `port` (0: any free one, see Port) and starts serving;
    // every connection sends without delay (TCP_NODELAY). 0, -EADDRNOTAVAIL
    // for a name that does not resolve, or another negative errno value.
    int Start(const std::string& host, std::uint16_t port, Injector injector);
    // Closes every connection. Idempotent.
    void Stop();
    std::uint16_t Port() const { return port_; }

    // Queues `frame` for every client in raw mode on its bus but client
    // number `sender` (-1: none; a client does not get its own frames back),
    // stamped with the wall-clock time it went on the bus. Never blocks on a
    // client.
    void Publish(const CanFrame& frame, std::int64_t wallTimeUs, std::int32_t sender);

private:
    struct Client;
    void Run();
    // The I/O thread's part of a client: reading and answering its elements.
    void Serve(Client& client);
    void Queue(Client& client, const std::string& text);
    // Wakes the server's thread; called with lock_ held, which keeps the
    // descriptor open.
    void WakeLocked();

    Reporter report_;
    Injector inject_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};

    struct Client {
        std::int32_t number = 0;  // counts from 0 over the server's life
        std::string name;         // the peer's address, for reports
        int state = 0;            // 0 greeted, 1 bus open, 2 raw mode
        std::uint8_t bus = 0;
        std::string out;          // queued for the client
        std::size_t settleBytes = 0;  // during the settle time only these may go
        std::int64_t settleUntilMs = 0;
        std::string dropped;      // why it is to be dropped; empty while it is served
        int errors = 0;
        SocketcandReader reader;  // I/O thread only
        bool held = false;        // I/O thread only: `heldFrame` waits for room on the bus
        CanFrame heldFrame;
    };
    std::mutex lock_;
    std::map<int, Client> clients_;  // by socket
    std::int32_t nextNumber_ = 0;    // I/O thread only
};

// Splits "[HOST:]PORT" (HOST an IPv4 address or a host name, by default the
// loopback address). False, with a reason, otherwise.
bool ParseSocketcandAddress(const std::string& text, std::string* host, std::uint16_t* port, std::string* error);

}  // namespace gatewaysim
