// A platform that accepts the application and then stops reading. A write
// that cannot start within its bound gives its message up and keeps the
// connection; a frame that went out in part is finished, so the stream stays
// whole; once the platform reads again everything flows; and Shutdown stays
// prompt also when the platform never reads again.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "FakeClock.h"
#include "IPCClient.h"
#include "QRVMessage.h"
#include "TestHost.h"
#include "can/CANIPC.h"
#include "core/TestHooks.h"

using CustomApplication::TarvexInterface;
using PlatformServices::IPCClient;
using PlatformServices::QRVMessage;
using namespace CustomApplication::CANTypes;

namespace {

constexpr int kRealBoundMs = 10'000;  // generous: only a hang exceeds it
using Steady = std::chrono::steady_clock;

// Accepts one application on a temporary endpoint, acknowledges its
// registration and from then on reads nothing until Resume.
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
        accepter_ = std::thread([this] { AcceptAndAcknowledge(); });
    }
    ~StalledPlatform() {
        stop_ = true;
        if (accepter_.joinable()) accepter_.join();
        if (reader_.joinable()) reader_.join();
        if (peer_ >= 0) ::close(peer_);
        if (listen_ >= 0) ::close(listen_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    const std::string& Path() const { return path_; }

    // Bytes the application wrote that wait unread in the socket.
    int Queued() {
        if (accepter_.joinable()) accepter_.join();
        int queued = -1;
        return peer_ >= 0 && ::ioctl(peer_, FIONREAD, &queued) == 0 ? queued : -1;
    }

    // From now on reads and keeps everything the application writes.
    void Resume() {
        if (accepter_.joinable()) accepter_.join();
        reader_ = std::thread([this] {
            std::uint8_t chunk[64 * 1024];
            while (!stop_) {
                pollfd p{peer_, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                const ssize_t n = ::recv(peer_, chunk, sizeof(chunk), 0);
                if (n <= 0) return;
                std::lock_guard<std::mutex> guard(lock_);
                received_.insert(received_.end(), chunk, chunk + n);
            }
        });
    }

    // The frames read so far after the registration; false when a frame is
    // malformed (the stream was corrupted).
    bool Frames(std::vector<std::unique_ptr<QRVMessage>>* frames) {
        std::lock_guard<std::mutex> guard(lock_);
        std::size_t at = 0;
        for (;;) {
            std::unique_ptr<QRVMessage> frame;
            std::size_t used = 0;
            const auto parsed = QRVMessage::ParseFrame(received_.data() + at, received_.size() - at, &frame, &used);
            if (parsed == QRVMessage::ParseResult::kIncomplete) return true;
            if (parsed == QRVMessage::ParseResult::kMalformed) return false;
            frames->push_back(std::move(frame));
            at += used;
        }
    }

    // Whether a CAN frame record with `identifier` was read (waits at most `timeoutMs`).
    bool AwaitCanFrame(std::uint32_t identifier, int timeoutMs = kRealBoundMs) {
        const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
        while (Steady::now() < deadline) {
            std::vector<std::unique_ptr<QRVMessage>> frames;
            if (!Frames(&frames)) return false;
            for (auto& frame : frames) {
                if (frame->GetCommand() != PlatformServices::CANIPC::kCategory || !frame->ParseChildMessages()) continue;
                for (const auto& child : frame->GetChildMessages()) {
                    PlatformServices::CANIPC::Message record{};
                    if (child->GetCommand() != PlatformServices::CANIPC::kSendFrame ||
                        child->GetLength() != sizeof record) {
                        continue;
                    }
                    std::memcpy(&record, child->GetData(), sizeof record);
                    if (record.Identifier == identifier) return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    void AcceptAndAcknowledge() {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, kRealBoundMs) <= 0) return;
        peer_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<std::uint8_t> received;
        std::unique_ptr<QRVMessage> request;
        std::size_t used = 0;
        while (QRVMessage::ParseFrame(received.data(), received.size(), &request, &used) ==
               QRVMessage::ParseResult::kIncomplete) {
            std::uint8_t chunk[1];
            pollfd r{peer_, POLLIN, 0};
            if (::poll(&r, 1, kRealBoundMs) <= 0) return;
            // Only the registration: what follows it stays in the socket.
            const ssize_t n = ::recv(peer_, chunk, 1, 0);
            if (n <= 0) return;
            received.insert(received.end(), chunk, chunk + n);
        }
        if (!request) return;
        QRVMessage ack(QRVMessage::kTypeRegisterAck, 1, request->GetCommand());
        std::vector<std::uint8_t> frame;
        ack.Serialize(frame);
        (void)::send(peer_, frame.data(), frame.size(), MSG_NOSIGNAL);
    }

    std::string dir_;
    std::string path_;
    int listen_ = -1;
    int peer_ = -1;
    std::atomic<bool> stop_{false};
    std::thread accepter_;
    std::thread reader_;
    std::mutex lock_;
    std::vector<std::uint8_t> received_;
};

// A message of one child carrying `length` bytes of `fill`.
std::unique_ptr<QRVMessage> Message(std::size_t length, std::uint8_t fill) {
    auto message = std::make_unique<QRVMessage>(QRVMessage::kTypeEnvelope, 22, 0);
    const std::vector<std::uint8_t> data(length, fill);
    message->NewChildMessage(QRVMessage::kTypeChild)->Build(7, length, data.data(), false);
    return message;
}

// A connection with a send buffer of a few kilobytes, so that a large frame
// goes out in part.
void ConnectSmall(IPCClient& client, StalledPlatform& platform) {
    ASSERT_EQ(client.Connect(platform.Path().c_str()), 0);
    ASSERT_GT(client.RegisterAddress(100), 0);
    ASSERT_EQ(client.TEST_SetSendBuffer(4096), 0);
}

TEST(StalledPlatform, AFramePartlyWrittenIsFinishedOnceThePlatformReadsAgain) {
    StalledPlatform platform;
    IPCClient client;
    ConnectSmall(client, platform);
    constexpr std::size_t kBig = 60'000;
    // Goes out in part, then waits past its bound for the rest.
    auto big = std::async(std::launch::async, [&] { return client.Write(*Message(kBig, 0xB1)); });
    ASSERT_NE(big.wait_for(std::chrono::milliseconds(IPCClient::kWriteTimeoutMs + 300)), std::future_status::ready);
    // Another writer's turn does not come within its bound: its message is
    // given up, sending nothing, and the connection stays.
    EXPECT_EQ(client.Write(*Message(10, 0x5A)), -EAGAIN);
    EXPECT_TRUE(client.IsActive());

    platform.Resume();
    ASSERT_EQ(big.wait_for(std::chrono::milliseconds(kRealBoundMs)), std::future_status::ready);
    EXPECT_EQ(big.get(), 0);
    EXPECT_EQ(client.Write(*Message(10, 0xC3)), 0);
    std::vector<std::unique_ptr<QRVMessage>> frames;
    for (int tries = 0; tries < 500 && frames.size() < 2; ++tries) {
        frames.clear();
        ASSERT_TRUE(platform.Frames(&frames)) << "the stream was corrupted";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The whole frame, then the one written after it; nothing of the one given up.
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_TRUE(frames[0]->ParseChildMessages());
    ASSERT_EQ(frames[0]->GetChildMessages().size(), 1u);
    const QRVMessage& child = *frames[0]->GetChildMessages()[0];
    ASSERT_EQ(child.GetLength(), kBig);
    EXPECT_EQ(std::vector<std::uint8_t>(child.GetData(), child.GetData() + kBig), std::vector<std::uint8_t>(kBig, 0xB1));
    ASSERT_TRUE(frames[1]->ParseChildMessages());
    EXPECT_EQ(frames[1]->GetChildMessages()[0]->GetData()[0], 0xC3);
}

TEST(StalledPlatform, ShutdownEndsAFrameThatCanNeverBeFinished) {
    StalledPlatform platform;
    IPCClient client;
    ConnectSmall(client, platform);
    auto big = std::async(std::launch::async, [&] { return client.Write(*Message(60'000, 0xB1)); });
    ASSERT_NE(big.wait_for(std::chrono::milliseconds(IPCClient::kWriteTimeoutMs + 300)), std::future_status::ready);
    client.Shutdown();
    // Well before the finishing bound.
    ASSERT_EQ(big.wait_for(std::chrono::milliseconds(IPCClient::kFinishTimeoutMs / 2)), std::future_status::ready);
    EXPECT_EQ(big.get(), -EPIPE);
}

// Sends CAN frames until one is not taken by the platform's full socket.
void FillTheSocket(TarvexInterface& sdk, StalledPlatform& platform) {
    CANMessage frame{CustomApplication::CoreTypes::CANBus1, 0x300, Standard, 8, {1, 2, 3, 4, 5, 6, 7, 8}};
    for (int sent = 0; sent < 100'000; ++sent) {
        const int before = platform.Queued();
        (void)sdk.CANSendMessage(&frame);
        if (platform.Queued() == before) return;
    }
    ADD_FAILURE() << "the socket never filled";
}

TEST(StalledPlatform, AHeldUpPlatformCostsMessagesNotTheConnection) {
    testsupport::FakeClock clock;  // stands still: a request may only end on its own
    testsupport::ScopedClock scopedClock(clock);
    StalledPlatform platform;
    testsupport::TestHost host;
    TarvexInterface sdk;
    ASSERT_EQ(sdk.Init(100, host.Table(), 0), 0);
    FillTheSocket(sdk, platform);
    EXPECT_EQ(sdk.GetConnectionState(), CustomApplication::CoreTypes::ConnectionUp);
    // A request the platform does not take fails at once, without a wait for its answer.
    unsigned char data[4];
    EXPECT_EQ(sdk.EEPROMRead(0, data, sizeof(data)), -11);

    platform.Resume();
    CANMessage after{CustomApplication::CoreTypes::CANBus1, 0x3AB, Standard, 1, {9}};
    // The first sends may still find the socket full while the platform catches up.
    bool arrived = false;
    for (int tries = 0; tries < 20 && !arrived; ++tries) {
        (void)sdk.CANSendMessage(&after);
        arrived = platform.AwaitCanFrame(0x3AB, 500);
    }
    EXPECT_TRUE(arrived);
    EXPECT_EQ(sdk.GetConnectionState(), CustomApplication::CoreTypes::ConnectionUp);
    sdk.Shutdown();
    EXPECT_EQ(sdk.GetConnectionState(), CustomApplication::CoreTypes::ConnectionClosed);
}

TEST(StalledPlatform, ShutdownStaysPromptWithAPlatformThatNeverReadsAgain) {
    StalledPlatform platform;
    testsupport::TestHost host;
    auto sdk = std::make_unique<TarvexInterface>();
    ASSERT_EQ(sdk->Init(100, host.Table(), 0), 0);
    // Subscriptions, so that Shutdown has withdrawals to write.
    CANReceiveTableEntry receive[3] = {{0x100, 0x7FF, Standard, nullptr, nullptr},
                                       {0x101, 0x7FF, Standard, nullptr, nullptr},
                                       {0x102, 0x7FF, Standard, nullptr, nullptr}};
    CANTransmitTableEntry transmit{nullptr, 0, 0x200, Standard, 0};
    ASSERT_GT(sdk->CANInit(CustomApplication::CoreTypes::CANBus1, receive, 3, &transmit, 1), 0);
    FillTheSocket(*sdk, platform);

    const auto started = Steady::now();
    sdk->Shutdown();
    sdk.reset();
    // Under a second on an idle machine; the bound leaves room for a busy one.
    EXPECT_LT(Steady::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(CustomApplication::TEST_LiveCount(), 0);
}

}  // namespace
