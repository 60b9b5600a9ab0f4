// Thread rule: every member may be called from any thread. Messages from the
// library are recorded on the server's I/O thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "IPCClient.h"
#include "IPCServer.h"

namespace testsupport {

// An in-process stand-in for the platform's services: a server on a socket in
// a fresh temporary folder, found by the library through the endpoint
// environment variable. It records every message that applications send and
// injects messages as the platform would.
class TestPlatform {
public:
    struct Child {
        std::int32_t command;
        std::vector<std::uint8_t> payload;
    };
    struct Message {
        std::int32_t source;
        std::int32_t category;
        std::int32_t destination;
        std::vector<Child> children;
    };
    // Called on the server's thread for each recorded message (optional).
    using Observer = std::function<void(const Message&)>;

    TestPlatform();
    ~TestPlatform();
    TestPlatform(const TestPlatform&) = delete;
    TestPlatform& operator=(const TestPlatform&) = delete;

    const std::string& Path() const { return path_; }
    PlatformServices::IPCServer& Server() { return server_; }
    void SetObserver(Observer observer);

    std::vector<Message> Messages() const;
    // Waits (real time, bounded) until at least `count` messages were recorded.
    bool AwaitMessages(std::size_t count, int realTimeoutMs = 10'000) const;
    // Waits until an application has registered `address`.
    bool AwaitClient(std::int32_t address, int realTimeoutMs = 10'000) const;
    // Waits until no application is registered as `address`.
    bool AwaitClientGone(std::int32_t address, int realTimeoutMs = 10'000) const;

    // Sends one envelope with one child to the application at `address`.
    int Send(std::int32_t address, std::int32_t category, std::int32_t command,
             const std::vector<std::uint8_t>& payload, std::int32_t source = 254);
    // The bytes of such an envelope on the wire, to build batches or damage.
    static std::vector<std::uint8_t> Frame(std::int32_t category, std::int32_t command,
                                           const std::vector<std::uint8_t>& payload, std::int32_t source = 254);
    // Sends bytes as they are.
    int SendRaw(std::int32_t address, const std::vector<std::uint8_t>& bytes);

private:
    void Record(std::int32_t source, PlatformServices::QRVMessage& message);

    std::string dir_;
    std::string path_;
    PlatformServices::IPCServer server_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Message> messages_;
    std::vector<std::int32_t> clients_;
    Observer observer_;
};

}  // namespace testsupport
