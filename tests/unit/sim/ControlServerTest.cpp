#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "control/ControlServer.h"
#include "SimFixture.h"

namespace {

using namespace simtest;
using namespace gatewaysim;

// A control client: sends lines, reads answers up to their closing line.
class ControlClient {
public:
    explicit ControlClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~ControlClient() { ::close(fd_); }
    bool Connected() const { return connected_; }
    void Send(const std::string& text) {
        ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }
    // Everything up to and including the next "ok" or "error: ..." line.
    std::string Answer() {
        std::string answer;
        for (;;) {
            const std::size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                const std::string line = buffer_.substr(0, newline + 1);
                buffer_.erase(0, newline + 1);
                answer += line;
                if (line == "ok\n" || line.rfind("error: ", 0) == 0) return answer;
                continue;
            }
            if (!Fill()) return answer + "<closed>";
        }
    }
    bool ClosedByServer() {
        while (Fill()) {
        }
        return closed_;
    }

private:
    bool Fill() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, kBoundMs) <= 0) return false;
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string buffer_;
};

class ControlServerTest : public SimTest {
protected:
    void StartControl() {
        control_ = std::make_unique<ControlServer>([this](const std::string& line) { return sim_->Execute(line); });
        ASSERT_EQ(control_->Start(dir_ + "/control"), 0);
    }
    void TearDown() override {
        if (control_) control_->Stop();
        SimTest::TearDown();
    }
    std::unique_ptr<ControlServer> control_;
};

TEST_F(ControlServerTest, CommandsAreAnsweredLineByLine) {
    std::atomic<int> quits{0};
    options_.onQuit = [&quits] { ++quits; };
    options_.staticCas = {{3, 0x42, 0x42}};
    StartSim();
    StartControl();
    RawApp& app = Connect(100);
    Bytes subscription(12, 0);
    subscription[0] = 2;
    app.Send(kCategoryCan, can::kCmdSubscribe, subscription);
    app.Sync();

    ControlClient client(dir_ + "/control");
    ASSERT_TRUE(client.Connected());
    client.Send("can2 18FEF100#0102\nlist\nbogus thing\n\n");
    EXPECT_EQ(client.Answer(), "ok\n");
    const std::string listing = client.Answer();
    EXPECT_EQ(listing.rfind("application 100: connected ", 0), 0u) << listing;
    EXPECT_NE(listing.find(" s, 2 messages\n  CAN subscription can2 id 0 mask 0\n"
                           "static CA can3 address 42 NAME 0000000000000042\nok\n"),
              std::string::npos)
        << listing;
    EXPECT_EQ(client.Answer(), "error: unknown command 'bogus' (try help)\n");
    EXPECT_EQ(client.Answer(), "ok\n");  // an empty line does nothing
    EXPECT_EQ(app.AwaitCount(kCategoryCan, can::kCmdReceived, 1).size(), 1u);

    // A second client is served as well; quit reaches the program.
    ControlClient second(dir_ + "/control");
    second.Send("help\nquit\n");
    EXPECT_NE(second.Answer().find("canN ID#DATA"), std::string::npos);
    EXPECT_EQ(second.Answer(), "ok\n");
    EXPECT_EQ(quits.load(), 1);

    // A line longer than any command ends the connection.
    client.Send(std::string(ControlServer::kMaxLineBytes + 10, 'x'));
    EXPECT_EQ(client.Answer(), "error: line too long\n");
    EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(ControlServerTest, ASecondServerOnTheSamePathIsRefused) {
    StartSim();
    StartControl();
    ControlServer other([](const std::string&) { return CommandReply{}; });
    EXPECT_EQ(other.Start(dir_ + "/control"), -EADDRINUSE);
    control_->Stop();
    // The socket file is gone with its server; a new one may take the path.
    EXPECT_EQ(other.Start(dir_ + "/control"), 0);
    other.Stop();
}

}  // namespace

namespace {

TEST_F(ControlServerTest, IdleClientsNeitherKeepOthersOutNorStayForEver) {
    StartSim();
    control_ = std::make_unique<ControlServer>([this](const std::string& line) { return sim_->Execute(line); }, 2000);
    ASSERT_EQ(control_->Start(dir_ + "/control", 0600), 0);
    struct stat status {};
    ASSERT_EQ(::stat((dir_ + "/control").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    ControlClient used(dir_ + "/control");  // an operator's, used before the flood
    used.Send("timing\n");
    EXPECT_NE(used.Answer().find("ok\n"), std::string::npos);
    std::vector<std::unique_ptr<ControlClient>> idle;
    for (std::size_t i = 0; i < ControlServer::kMaxClients + 4; ++i)
        idle.push_back(std::make_unique<ControlClient>(dir_ + "/control"));
    // A newcomer beyond the cap is served at once, ahead of the idle ones.
    ControlClient active(dir_ + "/control");
    active.Send("timing\n");
    EXPECT_NE(active.Answer().find("ok\n"), std::string::npos);
    used.Send("timing\n");
    EXPECT_NE(used.Answer().find("ok\n"), std::string::npos);
    // The idle ones are closed, the first by the newcomers and the rest by time.
    for (auto& client : idle) EXPECT_TRUE(client->ClosedByServer());
}

}  // namespace
