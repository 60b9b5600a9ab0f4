// The socketcand server over real TCP connections on the loopback address.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "socketcand/SocketcandServer.h"

namespace {

using namespace gatewaysim;

constexpr int kBoundMs = 10'000;

class Recorder {
public:
    void Report(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock_);
        reports_.push_back(line);
        changed_.notify_all();
    }
    bool Inject(const CanFrame& frame) {
        std::lock_guard<std::mutex> guard(lock_);
        frames_.push_back(frame);
        changed_.notify_all();
        return true;
    }
    bool AwaitReport(const std::string& part) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(kBoundMs), [&] {
            for (const std::string& r : reports_)
                if (r.find(part) != std::string::npos) return true;
            return false;
        });
    }
    bool HasReport(const std::string& part) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const std::string& r : reports_)
            if (r.find(part) != std::string::npos) return true;
        return false;
    }
    std::vector<CanFrame> AwaitFrames(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, std::chrono::milliseconds(kBoundMs), [&] { return frames_.size() >= count; });
        return frames_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> reports_;
    std::vector<CanFrame> frames_;
};

class SocketcandServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(server_.Start("localhost", 0,  // a host name, as an operator gives it
                                [this](const CanFrame& frame, std::int32_t) { return recorder_.Inject(frame) ? 1 : -1; }),
                  0);
    }
    void TearDown() override {
        for (const int fd : fds_) ::close(fd);
    }

    // `receiveBuffer`: the socket's receive buffer in bytes (0: the system's).
    int Connect(int receiveBuffer = 0) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server_.Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        fds_.push_back(fd);
        return fd;
    }
    static void Send(int fd, const std::string& text) {
        ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }
    // Reads until what was read ends with `end`; all of it.
    static std::string ReadUntil(int fd, const std::string& end) {
        std::string text;
        char buffer[512];
        while (text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kBoundMs) <= 0) break;
            const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
            if (got <= 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
    int OpenRaw(const std::string& bus, int receiveBuffer = 0) {
        const int fd = Connect(receiveBuffer);
        EXPECT_EQ(ReadUntil(fd, "< hi >"), "< hi >");
        Send(fd, "< open " + bus + " >");
        EXPECT_EQ(ReadUntil(fd, "< ok >"), "< ok >");
        Send(fd, "<rawmode>");
        EXPECT_EQ(ReadUntil(fd, "< ok >"), "< ok >");
        return fd;
    }

    Recorder recorder_;
    SocketcandServer server_{[this](const std::string& line) { recorder_.Report(line); }};
    std::vector<int> fds_;
};

TEST_F(SocketcandServerTest, ASessionCarriesFramesBothWaysAndRefusesBadInput) {
    const int fd = Connect();
    EXPECT_EQ(ReadUntil(fd, "< hi >"), "< hi >");
    Send(fd, "< rawmode >");  // before a bus is open
    EXPECT_EQ(ReadUntil(fd, ">"), "< error open a bus first >");
    Send(fd, "< open can5 >");
    EXPECT_EQ(ReadUntil(fd, ">"), "< error the buses are can0 to can4 >");
    Send(fd, "< open can2 >");
    EXPECT_EQ(ReadUntil(fd, ">"), "< ok >");
    Send(fd, "< rawmode >");
    EXPECT_EQ(ReadUntil(fd, ">"), "< ok >");
    const int other = OpenRaw("can2");
    const int elsewhere = OpenRaw("can3");

    // From a client: standard, extended by value and by 8 digits; bad ones refused.
    Send(fd, "< send 123 2 1 ff >< send 18FEF100 0 >\n< send 00000001 1 5a >");
    Send(fd, " junk < send 800 9 >< send 123 2 01 >< send 20000000 0 >< bcmmode >< echo >");
    const std::vector<CanFrame> frames = recorder_.AwaitFrames(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].bus, 2);
    EXPECT_EQ(frames[0].id, 0x123u);
    EXPECT_FALSE(frames[0].extended);
    ASSERT_EQ(frames[0].length, 2);
    EXPECT_EQ(frames[0].data[0], 0x01);
    EXPECT_EQ(frames[0].data[1], 0xFF);
    EXPECT_TRUE(frames[1].extended);
    EXPECT_EQ(frames[1].length, 0);
    EXPECT_TRUE(frames[2].extended);
    EXPECT_EQ(frames[2].id, 1u);
    EXPECT_EQ(ReadUntil(fd, " < echo >"),
              " < error text outside an element skipped > < error send takes a length of 0 to 8 >"
              " < error the length does not match the bytes given >"
              " < error send takes an identifier of up to 8 hex digits, at most 1FFFFFFF >"
              " < error only the raw mode is served > < echo >");
    EXPECT_TRUE(recorder_.AwaitReport("the length does not match"));

    // To the clients of the bus, but not back to its sender.
    CanFrame frame;
    frame.bus = 2;
    frame.id = 0x18FEF100;
    frame.extended = true;
    frame.length = 2;
    frame.data[0] = 0xAB;
    server_.Publish(frame, 1700000000000100, /*sender=*/0);
    frame.extended = false;
    frame.id = 0x7;
    frame.length = 0;
    server_.Publish(frame, 1700000000123456, -1);
    EXPECT_EQ(ReadUntil(other, " < frame 007 1700000000.123456  >"),
              " < frame 18FEF100 1700000000.000100 AB00 > < frame 007 1700000000.123456  >");
    EXPECT_EQ(ReadUntil(fd, " < frame 007 1700000000.123456  >"), " < frame 007 1700000000.123456  >");
    Send(elsewhere, "< echo >");
    EXPECT_EQ(ReadUntil(elsewhere, ">"), " < echo >");  // nothing of can2 came first
}

TEST_F(SocketcandServerTest, AClientThatDoesNotReadIsDroppedAndTheOthersAreServedOn) {
    const int slow = OpenRaw("can1", 4096);
    const int reader = OpenRaw("can1");
    static_cast<void>(slow);
    CanFrame frame;
    frame.bus = 1;
    frame.id = 0x100;
    frame.length = 8;
    const std::string text = FormatSocketcandFrame(frame, 1);
    server_.Publish(frame, 1, -1);
    ASSERT_EQ(ReadUntil(reader, text), text);
    // Far more than the socket buffers and the slow client's queue hold; the
    // reader keeps up, batch by batch.
    for (int batch = 0; batch < 20000 && !recorder_.HasReport("dropped"); ++batch) {
        std::string expected;
        for (int i = 0; i < 100; ++i) {
            server_.Publish(frame, 1, -1);
            expected += text;
        }
        ASSERT_EQ(ReadUntil(reader, expected), expected);
    }
    EXPECT_TRUE(recorder_.AwaitReport("dropped: it does not read its frames"));
    frame.id = 0x7FF;
    server_.Publish(frame, 1, -1);
    EXPECT_EQ(ReadUntil(reader, FormatSocketcandFrame(frame, 1)), FormatSocketcandFrame(frame, 1));
}

}  // namespace
