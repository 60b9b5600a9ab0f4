#include "control/Console.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#ifdef GATEWAYSIM_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

#include "control/ControlServer.h"

namespace gatewaysim {

namespace {

#ifdef GATEWAYSIM_HAVE_LIBEDIT
// libedit keeps one line editor per process: the console that runs it (its
// thread alone touches it).
Console* editingConsole = nullptr;

void Drain(int fd) {
    std::uint64_t count;
    (void)!::read(fd, &count, sizeof(count));
}
#endif

void Signal(int fd) {
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

}  // namespace

bool Console::HasLineEditing() {
#ifdef GATEWAYSIM_HAVE_LIBEDIT
    return true;
#else
    return false;
#endif
}

int Console::Start() {
    if (thread_.joinable()) return -EALREADY;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    printFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0 || printFd_ < 0) {
        const int error = -errno;
        Stop();
        return error;
    }
    prompt_ = ::isatty(in_) == 1;
    bool editing = false;
#ifdef GATEWAYSIM_HAVE_LIBEDIT
    editing = prompt_ && ::isatty(out_) == 1 && editingConsole == nullptr;
    if (editing) editingConsole = this;
#endif
    {
        std::lock_guard<std::mutex> guard(lock_);
        editing_ = editing;
    }
    try {
        thread_ = std::thread(editing ? &Console::RunEditing : &Console::Run, this);
    } catch (const std::system_error& e) {
        Stop();
        return e.code().value() != 0 ? -e.code().value() : -EAGAIN;
    }
    return 0;
}

void Console::Stop() {
    if (thread_.joinable()) {
        Signal(wakeFd_);
        thread_.join();
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        editing_ = false;
    }
    room_.notify_all();
    WritePending(false);
    for (int* fd : {&wakeFd_, &printFd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
#ifdef GATEWAYSIM_HAVE_LIBEDIT
    if (editingConsole == this) editingConsole = nullptr;
#endif
}

bool Console::WriteTo(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void Console::Write(const std::string& text) {
    (void)WriteTo(out_, text);
}

bool Console::Print(const std::string& line, int fd) {
    std::unique_lock<std::mutex> guard(lock_);
    if (editing_) {
        room_.wait_for(guard, std::chrono::milliseconds(kPrintWaitMs),
                       [&] { return !editing_ || pending_.size() < kMaxPending; });
    }
    if (!editing_ || pending_.size() >= kMaxPending) {
        // No line being edited (or the console thread is held up): at once.
        guard.unlock();
        return WriteTo(fd, line + "\n");
    }
    pending_.emplace_back(fd, line);
    const bool first = pending_.size() == 1;
    guard.unlock();
    if (first) Signal(printFd_);
    return true;
}

void Console::WritePending(bool redraw) {
    std::deque<std::pair<int, std::string>> lines;
    {
        std::lock_guard<std::mutex> guard(lock_);
        lines.swap(pending_);
    }
    room_.notify_all();
    if (lines.empty()) return;
    // The line being typed is taken off the screen, and put back after.
    if (redraw) Write("\r\033[K");
    for (const auto& [fd, text] : lines) (void)WriteTo(fd, text + "\n");
#ifdef GATEWAYSIM_HAVE_LIBEDIT
    if (redraw) {
        rl_forced_update_display();
        std::fflush(rl_outstream);
    }
#else
    (void)redraw;
#endif
}

void Console::Execute(const std::string& line) {
    const CommandReply reply =
        line.size() > kMaxLineBytes ? CommandReply{false, "line too long"} : execute_(line);
    if (!reply.ok || !reply.text.empty()) Write(reply.ok ? reply.text : FormatReply(reply));
}

void Console::OnEditedLine(char* line) {
#ifdef GATEWAYSIM_HAVE_LIBEDIT
    Console* console = editingConsole;
    if (line == nullptr) {
        console->inputEnded_ = true;  // the end of the input: the simulator goes on
        return;
    }
    const std::string text = line;
    std::free(line);
    if (text.find_first_not_of(" \t") != std::string::npos) add_history(text.c_str());
    console->Execute(text);
    // Edits the next line at once (prompt shown, terminal in editing mode).
    rl_callback_handler_install("> ", &Console::OnEditedLine);
#else
    (void)line;
#endif
}

void Console::RunEditing() {
#ifdef GATEWAYSIM_HAVE_LIBEDIT
    std::FILE* in = ::fdopen(::dup(in_), "r");
    std::FILE* out = ::fdopen(::dup(out_), "w");
    if (in != nullptr && out != nullptr) {
        rl_instream = in;
        rl_outstream = out;
        rl_catch_signals = 0;  // signals belong to the simulator's signal thread
        using_history();
        inputEnded_ = false;
        rl_callback_handler_install("> ", &Console::OnEditedLine);
        while (!inputEnded_) {
            pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {printFd_, POLLIN, 0}, {in_, POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents != 0) break;
            if (fds[1].revents != 0) {
                Drain(printFd_);
                WritePending(true);
            }
            if ((fds[2].revents & (POLLIN | POLLHUP)) != 0) rl_callback_read_char();
            if ((fds[2].revents & (POLLERR | POLLNVAL)) != 0) break;
        }
        rl_callback_handler_remove();
        Write("\n");
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        editing_ = false;
    }
    room_.notify_all();
    WritePending(false);
    if (in != nullptr) std::fclose(in);
    if (out != nullptr) std::fclose(out);
#endif
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
            Execute(line);
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
