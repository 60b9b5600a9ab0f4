#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "control/Console.h"

namespace {

using gatewaysim::CommandReply;
using gatewaysim::Console;

constexpr int kBoundMs = 10000;

// The operator's terminal: the master side of a pseudo-terminal whose other
// side the console reads and writes.
class Terminal {
public:
    Terminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Terminal() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    int Slave() const { return slave_; }
    void Type(const std::string& keys) { ASSERT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    // Reads what the console shows until `text` appears after what was
    // found before (bounded).
    bool AwaitShown(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        std::size_t at;
        while ((at = shown_.find(text, seen_)) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[1024];
            const ssize_t n = ::read(master_, buffer, sizeof(buffer));
            if (n <= 0) return false;
            shown_.append(buffer, static_cast<std::size_t>(n));
        }
        seen_ = at + text.size();
        return true;
    }
    const std::string& Shown() const { return shown_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string shown_;
    std::size_t seen_ = 0;
};

TEST(ConsoleTest, ReportsNeverBreakIntoTheLineBeingTypedAndHistoryRecallsCommands) {
    if (!Console::HasLineEditing()) GTEST_SKIP() << "built without libedit";
    Terminal terminal;
    ASSERT_GE(terminal.Slave(), 0);
    std::mutex lock;
    std::vector<std::string> commands;
    Console console(
        [&](const std::string& line) {
            std::lock_guard<std::mutex> guard(lock);
            commands.push_back(line);
            return CommandReply{true, "ran " + line + "\n"};
        },
        terminal.Slave(), terminal.Slave());
    ASSERT_EQ(console.Start(), 0);
    ASSERT_TRUE(terminal.AwaitShown("> "));
    terminal.Type("lis");
    ASSERT_TRUE(terminal.AwaitShown("lis"));
    // A report while the operator types: on a line of its own, the typing
    // shown again after it.
    console.Print("application 100 connected", terminal.Slave());
    ASSERT_TRUE(terminal.AwaitShown("\r\x1b[Kapplication 100 connected\r\n> lis")) << terminal.Shown();
    terminal.Type("t\r");
    ASSERT_TRUE(terminal.AwaitShown("ran list\r\n> ")) << terminal.Shown();
    terminal.Type("\x1b[A\r");  // Up: the command before
    ASSERT_TRUE(terminal.AwaitShown("> list\r\nran list")) << terminal.Shown();
    console.Stop();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(commands, (std::vector<std::string>{"list", "list"}));
}

}  // namespace
