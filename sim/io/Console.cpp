#include "io/Console.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "io/ControlServer.h"

namespace gatewaysim {

namespace {
constexpr std::size_t kMaxLineBytes = 4096;
}

int Console::Start() {
    if (thread_.joinable()) return -EALREADY;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return -errno;
    prompt_ = ::isatty(in_) == 1;
    try {
        thread_ = std::thread(&Console::Run, this);
    } catch (const std::system_error& e) {
        ::close(wakeFd_);
        wakeFd_ = -1;
        return e.code().value() != 0 ? -e.code().value() : -EAGAIN;
    }
    return 0;
}

void Console::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(wakeFd_, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
}

void Console::Write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(out_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void Console::Run() {
    std::string pending;
    bool skipping = false;  // inside a line that was too long
    if (prompt_) Write("> ");
    for (;;) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {in_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        char buffer[1024];
        const ssize_t n = ::read(in_, buffer, sizeof(buffer));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return;  // end of the input
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (skipping) {
                skipping = false;
                continue;
            }
            const CommandReply reply = execute_(line);
            if (!reply.ok || !reply.text.empty()) {
                Write(reply.ok ? reply.text : FormatReply(reply));
            }
            if (prompt_) Write("> ");
        }
        if (pending.size() > kMaxLineBytes) {
            Write(FormatReply(CommandReply{false, "line too long"}));
            pending.clear();
            skipping = true;
        }
    }
}

}  // namespace gatewaysim
