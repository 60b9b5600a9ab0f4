#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "IPCClient.h"
#include "IPCServer.h"

namespace {

using PlatformServices::IPCClient;
using PlatformServices::IPCServer;
using PlatformServices::MessageBatch;
using PlatformServices::QRVMessage;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kBound = std::chrono::seconds(10);  // generous: only a hang exceeds it

// An envelope of category 10 with one child whose payload is `size` bytes
// that encode (tag, seq); Intact checks them.
std::unique_ptr<QRVMessage> Numbered(std::int32_t destination, std::uint32_t tag, std::uint32_t seq,
                                     std::size_t size = 8) {
    auto message = std::make_unique<QRVMessage>(QRVMessage::kTypeEnvelope, 10, destination);
    Bytes payload(std::max<std::size_t>(size, 8));
    std::memcpy(payload.data(), &tag, 4);
    std::memcpy(payload.data() + 4, &seq, 4);
    for (std::size_t i = 8; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(tag * 31 + seq + i);
    message->NewChildMessage(QRVMessage::kTypeChild)
        ->Build(static_cast<std::int32_t>(seq), payload.size(), payload.data(), false);
    return message;
}

// Decodes a message made by Numbered; false when any byte is off.
bool Intact(QRVMessage& message, std::uint32_t* tag, std::uint32_t* seq) {
    if (!message.ParseChildMessages() || message.GetChildMessages().size() != 1) return false;
    const QRVMessage& child = *message.GetChildMessages()[0];
    if (child.GetLength() < 8) return false;
    std::memcpy(tag, child.GetData(), 4);
    std::memcpy(seq, child.GetData() + 4, 4);
    for (std::size_t i = 8; i < child.GetLength(); ++i) {
        if (child.GetData()[i] != static_cast<std::uint8_t>(*tag * 31 + *seq + i)) return false;
    }
    return child.GetCommand() == static_cast<std::int32_t>(*seq);
}

// What the server's handlers saw, for the test thread to wait on.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<std::int32_t, bool>> connections;
    std::deque<std::unique_ptr<QRVMessage>> messages;

    bool WaitFor(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, kBound, done);
    }
    bool Saw(std::int32_t address, bool connected) {
        for (const auto& c : connections)
            if (c.first == address && c.second == connected) return true;
        return false;
    }
};

// Reads from a raw socket until the peer closes it; false if it stays open.
bool ClosedByPeer(int fd, Bytes* received = nullptr) {
    std::uint8_t buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kBound).count())) <= 0)
            return false;
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n < 0) return false;
        if (received) received->insert(received->end(), buffer, buffer + n);
    }
}

int RawConnect(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0)
        << std::strerror(errno);
    return fd;
}

void RawSend(int fd, const Bytes& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

Bytes Frame(const QRVMessage& message) {
    Bytes bytes;
    message.Serialize(bytes);
    return bytes;
}

class IPCClientServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv(PlatformServices::kEndpointEnvVar);
        char pattern[] = "/tmp/platform-ipc-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/endpoint";
        server_.SetMessageHandler([this](std::int32_t source, std::unique_ptr<QRVMessage> message) {
            if (onMessage) onMessage(source, *message);
            std::lock_guard<std::mutex> guard(recorder_.lock);
            recorder_.messages.push_back(std::move(message));
            recorder_.changed.notify_all();
        });
        server_.SetConnectionHandler([this](std::int32_t address, bool connected) {
            if (onConnection) onConnection(address, connected);
            std::lock_guard<std::mutex> guard(recorder_.lock);
            recorder_.connections.emplace_back(address, connected);
            recorder_.changed.notify_all();
        });
    }
    void TearDown() override {
        server_.Stop();
        ::unsetenv(PlatformServices::kEndpointEnvVar);
        ::rmdir(dir_.c_str());
    }
    void StartServer() { ASSERT_EQ(server_.Start(path_), 0); }
    void ConnectAs(IPCClient& client, std::int32_t address) {
        ASSERT_EQ(client.Connect(path_.c_str()), 0);
        ASSERT_EQ(client.RegisterAddress(address), 1);
        ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.Saw(address, true); }));
    }

    // Set before StartServer; run on the server's I/O thread.
    std::function<void(std::int32_t, QRVMessage&)> onMessage;
    std::function<void(std::int32_t, bool)> onConnection;

    std::string dir_;
    std::string path_;
    Recorder recorder_;  // outlives the server and its handlers
    IPCServer server_{1};
};

TEST_F(IPCClientServerTest, RegistrationRefusesTakenAndInvalidAddresses) {
    StartServer();
    IPCClient first;
    ConnectAs(first, 42);
    EXPECT_TRUE(first.IsActive());
    EXPECT_EQ(server_.RegisteredAddresses(), std::vector<std::int32_t>{42});

    IPCClient second;
    ASSERT_EQ(second.Connect(path_.c_str()), 0);
    EXPECT_EQ(second.Connect(path_.c_str()), -EISCONN);
    EXPECT_EQ(second.RegisterAddress(42), -EADDRINUSE);
    EXPECT_EQ(second.RegisterAddress(0), -EINVAL);
    EXPECT_EQ(second.RegisterAddress(-7), -EINVAL);

    // Once the first application is gone, its address is free again.
    first.Shutdown();
    ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.Saw(42, false); }));
    EXPECT_EQ(second.RegisterAddress(42), 1);
    // Reachable as soon as the acknowledgement arrived.
    EXPECT_EQ(server_.RegisteredAddresses(), std::vector<std::int32_t>{42});
    EXPECT_EQ(server_.Write(42, *Numbered(42, 0, 0)), 0);
    EXPECT_EQ(second.RegisterAddress(43), -EISCONN);
    MessageBatch batch;
    EXPECT_EQ(second.Read(batch), 1);  // the late acknowledgement was not taken for a message
}

TEST_F(IPCClientServerTest, MessagesFlowBothWaysAndReadTakesABatch) {
    StartServer();
    IPCClient client;
    ConnectAs(client, 42);

    constexpr std::uint32_t kCount = 500;
    for (std::uint32_t i = 0; i < kCount; ++i) {
        auto message = Numbered(1, 7, i);
        message->SetSourceAddress(999);  // the server knows better
        ASSERT_EQ(client.Write(message.get()), 0);
    }
    ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.messages.size() == kCount; }));
    for (std::uint32_t i = 0; i < kCount; ++i) {
        QRVMessage& m = *recorder_.messages[i];
        std::uint32_t tag = 0, seq = 0;
        ASSERT_TRUE(Intact(m, &tag, &seq));
        EXPECT_EQ(seq, i);
        EXPECT_EQ(m.GetSourceAddress(), 42);
        EXPECT_EQ(m.GetAddress(), 1);
    }

    // Everything the server wrote before the first Read comes back in full
    // batches, taken from what the first Read received, then the remainder.
    constexpr std::uint32_t kBack = 200;
    for (std::uint32_t i = 0; i < kBack; ++i) {
        auto message = Numbered(42, 3, i);
        message->SetSourceAddress(server_.GetServerAddress());
        ASSERT_EQ(server_.Write(42, message.get()), 0);
    }
    MessageBatch batch;
    constexpr int kFull = IPCClient::kMaxBatch;
    ASSERT_EQ(client.Read(batch), kFull);
    ASSERT_EQ(client.Read(batch), kFull);
    ASSERT_EQ(client.Read(batch), kFull);
    ASSERT_EQ(client.Read(batch), static_cast<int>(kBack) - 3 * kFull);
    ASSERT_EQ(batch.size(), kBack);
    for (std::uint32_t i = 0; i < kBack; ++i) {
        std::uint32_t tag = 0, seq = 0;
        ASSERT_TRUE(Intact(*batch[i], &tag, &seq));
        EXPECT_EQ(seq, i);
        EXPECT_EQ(batch[i]->GetSourceAddress(), 1);
    }
    EXPECT_EQ(server_.Write(43, batch[0].get()), -EHOSTUNREACH);
    EXPECT_EQ(server_.Write(42, static_cast<const QRVMessage*>(nullptr)), -22);
}

// Many frames written in one go: what the socket does not take now is
// written later from where it stopped, no other write cuts into a frame left
// incomplete, and the rest never goes to a later connection of the address.
TEST_F(IPCClientServerTest, WriteSomeContinuesWhereTheSocketStopped) {
    StartServer();
    IPCClient client;
    ConnectAs(client, 42);
    constexpr std::uint32_t kCount = 20000;  // about 1 MB, more than the socket holds
    Bytes frames;
    for (std::uint32_t i = 0; i < kCount; ++i) Numbered(42, 5, i, 40)->Serialize(frames);
    std::uint64_t connection = 0;
    std::size_t done = 0, written = 0;
    ASSERT_EQ(server_.WriteSome(42, frames.data(), frames.size(), &written, &connection), 0);
    done += written;
    ASSERT_LT(done, frames.size());
    EXPECT_EQ(server_.Write(42, Numbered(42, 6, 0).get()), -EAGAIN);

    MessageBatch batch;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (batch.size() < kCount && std::chrono::steady_clock::now() < deadline) {
        if (done < frames.size()) {
            ASSERT_EQ(server_.WriteSome(42, frames.data() + done, frames.size() - done, &written, &connection), 0);
            done += written;
        }
        ASSERT_GE(client.Read(batch), 0);
    }
    ASSERT_EQ(batch.size(), kCount);
    for (std::uint32_t i = 0; i < kCount; ++i) {
        std::uint32_t tag = 0, seq = 0;
        ASSERT_TRUE(Intact(*batch[i], &tag, &seq));
        EXPECT_EQ(seq, i);
    }
    EXPECT_EQ(server_.Write(42, Numbered(42, 6, 0).get()), 0);

    std::uint64_t other = connection + 1;
    EXPECT_EQ(server_.WriteSome(42, frames.data(), 48, &written, &other), -ECONNRESET);
    EXPECT_EQ(written, 0u);
}

// A reader that gives each batch back gets whole, correct messages every
// time, from reused objects, also when sizes and child counts change.
TEST_F(IPCClientServerTest, RecycledBatchesDeliverEachMessageIntact) {
    StartServer();
    IPCClient client;
    ConnectAs(client, 42);
    MessageBatch batch;
    std::uint32_t next = 0;
    for (std::uint32_t round = 0; round < 4; ++round) {
        const std::uint32_t count = round % 2 == 0 ? 50 : 3;
        for (std::uint32_t i = 0; i < count; ++i) {
            // Sizes vary, one beyond what a reused payload keeps.
            const std::size_t size = (i == 1) ? QRVMessage::kKeptPayloadCapacity + 100 : 8 + (i * 7 + round) % 40;
            ASSERT_EQ(server_.Write(42, Numbered(42, round, next + i, size).get()), 0);
        }
        std::uint32_t got = 0;
        while (got < count) {
            const int n = client.Read(batch);
            ASSERT_GT(n, 0);
            got += static_cast<std::uint32_t>(n);
        }
        ASSERT_EQ(got, count);
        ASSERT_EQ(batch.size(), count);
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t tag = 0, seq = 0;
            ASSERT_TRUE(Intact(*batch[i], &tag, &seq)) << round << " " << i;
            EXPECT_EQ(tag, round);
            EXPECT_EQ(seq, next + i);
        }
        next += count;
        client.Recycle(batch);
        EXPECT_TRUE(batch.empty());
    }
    // Holes in a batch are skipped.
    batch.push_back(nullptr);
    client.Recycle(batch);
    EXPECT_TRUE(batch.empty());
}

TEST_F(IPCClientServerTest, HandlersMayCallTheServerAndEarlyFramesWaitForRead) {
    // Sent right behind the acknowledgement, possibly in the same read as it.
    onConnection = [this](std::int32_t address, bool connected) {
        if (connected) {
            EXPECT_EQ(server_.Write(address, Numbered(address, 1, 100).get()), 0);
        }
    };
    onMessage = [this](std::int32_t source, QRVMessage& message) {
        EXPECT_EQ(server_.RegisteredAddresses(), std::vector<std::int32_t>{source});
        std::uint32_t tag = 0, seq = 0;
        ASSERT_TRUE(Intact(message, &tag, &seq));
        if (seq == 2) {
            server_.Disconnect(source);
        } else {
            EXPECT_EQ(server_.Write(source, Numbered(source, tag, seq + 1000).get()), 0);
        }
    };
    StartServer();
    IPCClient client;
    ConnectAs(client, 9);

    std::vector<std::uint32_t> seen;
    ASSERT_EQ(client.Write(Numbered(1, 5, 1).get()), 0);
    ASSERT_EQ(client.Write(Numbered(1, 5, 2).get()), 0);
    MessageBatch batch;
    while (client.Read(batch) > 0) {
    }
    for (auto& m : batch) {
        std::uint32_t tag = 0, seq = 0;
        ASSERT_TRUE(Intact(*m, &tag, &seq));
        seen.push_back(seq);
    }
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{100, 1001}));
    EXPECT_FALSE(client.IsActive());
    ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.Saw(9, false); }));
}

TEST_F(IPCClientServerTest, ConcurrentWritersNeverInterleave) {
    StartServer();
    IPCClient client;
    ConnectAs(client, 42);
    constexpr std::uint32_t kThreads = 4, kEach = 300;
    constexpr std::uint32_t kTotal = kThreads * kEach;
    // Sizes up to 9 KB, so that sends are cut short now and then.
    auto sizeOf = [](std::uint32_t tag, std::uint32_t seq) {
        return 8 + (tag * 977 + seq * 131) % 9000;
    };

    MessageBatch received;
    std::thread reader([&] {
        while (received.size() < kTotal && client.Read(received) > 0) {
        }
    });
    std::vector<std::thread> writers;
    for (std::uint32_t t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (std::uint32_t i = 0; i < kEach; ++i) {
                EXPECT_EQ(client.Write(*Numbered(1, t, i, sizeOf(t, i))), 0);
                EXPECT_EQ(server_.Write(42, *Numbered(42, t, i, sizeOf(t, i))), 0);
                EXPECT_TRUE(client.IsActive());
            }
        });
    }
    for (auto& w : writers) w.join();
    reader.join();

    auto check = [&](const MessageBatch& messages) {
        ASSERT_EQ(messages.size(), kTotal);
        std::vector<std::uint32_t> next(kThreads, 0);
        for (const auto& m : messages) {
            std::uint32_t tag = 0, seq = 0;
            ASSERT_TRUE(Intact(*m, &tag, &seq));
            ASSERT_LT(tag, kThreads);
            ASSERT_EQ(seq, next[tag]++);  // in order per writer
            ASSERT_EQ(m->GetChildMessages()[0]->GetLength(), sizeOf(tag, seq));
        }
    };
    check(received);
    ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.messages.size() == kTotal; }));
    check(MessageBatch(std::make_move_iterator(recorder_.messages.begin()),
                       std::make_move_iterator(recorder_.messages.end())));
}

TEST_F(IPCClientServerTest, ShutdownEndsABlockedRead) {
    StartServer();
    IPCClient client;
    ConnectAs(client, 42);
    int result = -1;
    std::thread reader([&] {
        MessageBatch batch;
        result = client.Read(batch);
    });
    client.Shutdown();
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(client.IsActive());
    MessageBatch batch;
    EXPECT_EQ(client.Read(batch), 0);
    EXPECT_EQ(client.Write(*Numbered(1, 0, 0)), -EPIPE);
    client.Shutdown();  // idempotent
    ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.Saw(42, false); }));
}

TEST_F(IPCClientServerTest, ServerClosingOrGarblingTheStreamEndsTheClient) {
    StartServer();
    IPCClient dropped, garbled, tiny;
    ConnectAs(dropped, 1);
    ConnectAs(garbled, 2);
    ConnectAs(tiny, 3);

    EXPECT_EQ(server_.Disconnect(1), 0);
    EXPECT_EQ(server_.Disconnect(1), -EHOSTUNREACH);
    EXPECT_EQ(server_.RegisteredAddresses(), (std::vector<std::int32_t>{2, 3}));
    MessageBatch batch;
    EXPECT_EQ(dropped.Read(batch), 0);
    EXPECT_FALSE(dropped.IsActive());

    // A whole frame ahead of the fault is still delivered.
    ASSERT_EQ(server_.Write(2, *Numbered(2, 0, 0)), 0);
    const std::uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0};
    ASSERT_EQ(server_.WriteRaw(2, huge, sizeof(huge)), 0);
    EXPECT_EQ(garbled.Read(batch), 1);
    EXPECT_EQ(garbled.Read(batch), -EPROTO);
    EXPECT_FALSE(garbled.IsActive());

    const std::uint8_t small[] = {3, 0, 0, 0, 1, 2, 3};
    ASSERT_EQ(server_.WriteRaw(3, small, sizeof(small)), 0);
    EXPECT_LT(tiny.Read(batch), 0);
    EXPECT_FALSE(tiny.IsActive());
    EXPECT_EQ(batch.size(), 1u);
    // The clients end the connections that they cannot read any more.
    ASSERT_TRUE(recorder_.WaitFor([&] {
        return recorder_.Saw(1, false) && recorder_.Saw(2, false) && recorder_.Saw(3, false);
    }));
    EXPECT_TRUE(server_.RegisteredAddresses().empty());
}

TEST_F(IPCClientServerTest, ServerDropsConnectionsThatBreakTheProtocol) {
    StartServer();
    // An envelope before registration.
    const int early = RawConnect(path_);
    RawSend(early, Frame(*Numbered(1, 0, 0)));
    Bytes received;
    EXPECT_TRUE(ClosedByPeer(early, &received));
    EXPECT_TRUE(received.empty());
    ::close(early);

    // Registered, then a length prefix below the header size.
    const int fd = RawConnect(path_);
    RawSend(fd, Frame(QRVMessage(QRVMessage::kTypeRegister, 77, 0)));
    ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.Saw(77, true); }));
    RawSend(fd, Bytes{5, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(ClosedByPeer(fd, &received));
    ::close(fd);
    std::unique_ptr<QRVMessage> ack;
    std::size_t used = 0;
    ASSERT_EQ(QRVMessage::ParseFrame(received.data(), received.size(), &ack, &used),
              QRVMessage::ParseResult::kOk);
    EXPECT_EQ(used, received.size());
    EXPECT_EQ(ack->GetMessageType(), QRVMessage::kTypeRegisterAck);
    EXPECT_GT(ack->GetCommand(), 0);
    ASSERT_TRUE(recorder_.WaitFor([&] { return recorder_.Saw(77, false); }));
    EXPECT_TRUE(recorder_.messages.empty());
    EXPECT_TRUE(server_.RegisteredAddresses().empty());
}

TEST_F(IPCClientServerTest, EndpointPathHandling) {
    // A stale socket file is replaced; a live server's is not.
    {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(stale);
    }
    StartServer();
    IPCServer rival;
    EXPECT_EQ(rival.Start(path_), -EADDRINUSE);

    // The environment variable replaces the path the application gives.
    const std::string longPath(200, 'x');
    IPCClient tooLong;
    EXPECT_EQ(tooLong.Connect(longPath.c_str()), -ENAMETOOLONG);
    EXPECT_EQ(rival.Start("/tmp/" + longPath), -ENAMETOOLONG);
    ASSERT_EQ(::setenv(PlatformServices::kEndpointEnvVar, path_.c_str(), 1), 0);
    EXPECT_STREQ(PlatformServices::ResolveEndpoint("/nowhere"), path_.c_str());
    IPCClient client;
    ConnectAs(client, 5);  // via the override path: same as path_
    IPCClient overridden;
    ASSERT_EQ(overridden.Connect("/nowhere/at/all"), 0);
    EXPECT_EQ(overridden.RegisterAddress(6), 1);
    ASSERT_EQ(::setenv(PlatformServices::kEndpointEnvVar, "", 1), 0);
    EXPECT_STREQ(PlatformServices::ResolveEndpoint("/nowhere"), "/nowhere");
    IPCClient missing;
    EXPECT_EQ(missing.Connect((dir_ + "/missing").c_str()), -ENOENT);

    // Stop ends the connections, removes the file, and may be repeated.
    server_.Stop();
    MessageBatch batch;
    EXPECT_EQ(client.Read(batch), 0);
    EXPECT_FALSE(client.IsActive());
    EXPECT_NE(::access(path_.c_str(), F_OK), 0);
    server_.Stop();
    EXPECT_TRUE(recorder_.Saw(5, false) && recorder_.Saw(6, false));
}

TEST_F(IPCClientServerTest, RegistrationFailsNegativeWithoutAnAnswer) {
    // A listener of our own that accepts and then stays silent or hangs up.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    IPCClient silent;
    ASSERT_EQ(silent.Connect(path_.c_str()), 0);
    const int silentPeer = ::accept(listener, nullptr, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(silent.RegisterAddress(4), -ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kBound);

    IPCClient hungUp;
    ASSERT_EQ(hungUp.Connect(path_.c_str()), 0);
    ::close(::accept(listener, nullptr, nullptr));
    const int result = hungUp.RegisterAddress(4);
    EXPECT_LT(result, 0);
    EXPECT_FALSE(hungUp.IsActive());

    ::close(silentPeer);
    ::close(listener);
    ::unlink(path_.c_str());
}

}  // namespace

namespace {

TEST_F(IPCClientServerTest, UnregisteredConnectionsAreCappedAndTimedOutButNeverTheRegistered) {
    IPCServer::Limits limits;
    limits.registrationTimeoutMs = 300;
    limits.maxUnregistered = 4;
    limits.socketMode = 0600;
    server_.SetLimits(limits);
    StartServer();
    struct stat status {};
    ASSERT_EQ(::stat(path_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    std::vector<int> idle;
    for (int i = 0; i < 12; ++i) idle.push_back(RawConnect(path_));
    // A newcomer beyond the cap registers: the longest waiting go instead.
    IPCClient app;
    ConnectAs(app, 42);
    for (const int fd : idle) {
        EXPECT_TRUE(ClosedByPeer(fd));
        ::close(fd);
    }
    // Past the time-out of the idle ones, the registered one is still served.
    EXPECT_EQ(server_.RegisteredAddresses(), std::vector<std::int32_t>{42});
    EXPECT_EQ(server_.Write(42, *Numbered(42, 0, 0)), 0);
    MessageBatch batch;
    EXPECT_EQ(app.Read(batch), 1);
}

}  // namespace
