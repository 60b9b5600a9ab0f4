// A platform that accepts the application and then stops reading: once its
// socket is full, a write gives up after its bound, the connection counts as
// lost, later calls fail at once, and Shutdown and destruction still end.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "FakeClock.h"
#include "IPCClient.h"
#include "QRVMessage.h"
#include "TestHost.h"
#include "core/TestHooks.h"

using CustomApplication::TarvexInterface;
using namespace CustomApplication::CANTypes;

namespace {

constexpr int kRealBoundMs = 10'000;  // generous: only a hang exceeds it

// Accepts one application on a temporary endpoint, acknowledges its
// registration and from then on reads nothing.
class StalledPlatform {
public:
    StalledPlatform() {
        char pattern[] = "/tmp/stalled-platform-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        path_ = dir_ + "/endpoint";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(listen_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listen_, 1) != 0) {
            return;
        }
        ::setenv(PlatformServices::kEndpointEnvVar, path_.c_str(), 1);
        thread_ = std::thread([this] { AcceptAndAcknowledge(); });
    }
    ~StalledPlatform() {
        if (thread_.joinable()) thread_.join();
        if (peer_ >= 0) ::close(peer_);
        if (listen_ >= 0) ::close(listen_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }

    // Whether the application has ended the connection (bounded wait).
    bool AwaitClosedByApplication() {
        if (thread_.joinable()) thread_.join();
        pollfd p{peer_, POLLRDHUP, 0};
        return peer_ >= 0 && ::poll(&p, 1, kRealBoundMs) > 0 && (p.revents & (POLLRDHUP | POLLHUP)) != 0;
    }

private:
    void AcceptAndAcknowledge() {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, kRealBoundMs) <= 0) return;
        peer_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<std::uint8_t> received;
        std::unique_ptr<PlatformServices::QRVMessage> request;
        std::size_t used = 0;
        while (PlatformServices::QRVMessage::ParseFrame(received.data(), received.size(), &request, &used) ==
               PlatformServices::QRVMessage::ParseResult::kIncomplete) {
            std::uint8_t chunk[256];
            pollfd r{peer_, POLLIN, 0};
            if (::poll(&r, 1, kRealBoundMs) <= 0) return;
            const ssize_t n = ::recv(peer_, chunk, sizeof(chunk), 0);
            if (n <= 0) return;
            received.insert(received.end(), chunk, chunk + n);
        }
        if (!request) return;
        PlatformServices::QRVMessage ack(PlatformServices::QRVMessage::kTypeRegisterAck, 1, request->GetCommand());
        std::vector<std::uint8_t> frame;
        ack.Serialize(frame);
        (void)::send(peer_, frame.data(), frame.size(), MSG_NOSIGNAL);
    }

    std::string dir_;
    std::string path_;
    int listen_ = -1;
    int peer_ = -1;
    std::thread thread_;
};

TEST(StalledPlatform, AFullConnectionIsLostAndShutdownStillEnds) {
    testsupport::FakeClock clock;  // stands still: no wait of the library may depend on it
    testsupport::ScopedClock scopedClock(clock);
    StalledPlatform platform;
    testsupport::TestHost host;
    auto sdk = std::make_unique<TarvexInterface>();
    ASSERT_EQ(sdk->Init(100, host.Table(), 0), 0);

    // A subscription, so that Shutdown has a withdrawal to write.
    CANReceiveTableEntry receive{0x100, 0x7FF, Standard, nullptr, nullptr};
    CANTransmitTableEntry transmit{nullptr, 0, 0x200, Standard, 0};
    ASSERT_GT(sdk->CANInit(CustomApplication::CoreTypes::CANBus1, &receive, 1, &transmit, 1), 0);

    // Frames until the socket is full and a write gives up.
    const auto connected = [&] { return CustomApplication::TEST_State(*sdk).clientActive; };
    CANMessage frame{CustomApplication::CoreTypes::CANBus1, 0x300, Standard, 8, {1, 2, 3, 4, 5, 6, 7, 8}};
    for (int sent = 0; sent < 1'000'000 && connected(); ++sent) (void)sdk->CANSendMessage(&frame);
    EXPECT_FALSE(connected());
    EXPECT_TRUE(platform.AwaitClosedByApplication());

    // A request for an answer fails at once: the clock never moves.
    unsigned char data[4];
    EXPECT_EQ(sdk->EEPROMRead(0, data, sizeof(data)), -110);
    sdk->Shutdown();
    sdk.reset();
    EXPECT_EQ(CustomApplication::TEST_LiveCount(), 0);
}

}  // namespace
