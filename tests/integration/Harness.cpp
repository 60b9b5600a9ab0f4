#include "Harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace integration {

namespace {

constexpr int kPollPauseMs = 10;

void Pause(int ms) {
    poll(nullptr, 0, ms);
}

}  // namespace

bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Pause(kPollPauseMs);
    }
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// --- TempFolder ---------------------------------------------------------------

TempFolder::TempFolder() {
    std::string pattern = access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm/gwit-XXXXXX" : "/tmp/gwit-XXXXXX";
    const char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr) << std::strerror(errno);
    if (made != nullptr) path_ = made;
}

TempFolder::~TempFolder() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

// --- Process ------------------------------------------------------------------

Process::~Process() {
    if (pid_ > 0 && status_ < 0) {
        Kill(SIGKILL);
        Wait();
    }
    if (input_ >= 0) close(input_);
    if (reader_.joinable()) reader_.join();
    if (output_ >= 0) close(output_);
}

bool Process::Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    // Everything the child needs is prepared before fork: after it, the
    // child only calls functions that are safe there.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& mine : environment) {
            if (entry.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0) replaced = true;
        }
        if (!replaced) envStrings.push_back(entry);
    }
    for (const std::string& mine : environment) envStrings.push_back(mine);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const std::string& e : envStrings) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        // No descriptor of the test process (its platform connection above
        // all) may live on in the child.
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    pid_ = pid;
    input_ = in[1];
    output_ = out[0];
    reader_ = std::thread([this] { Read(); });
    return true;
}

void Process::Read() {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(output_, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            std::lock_guard<std::mutex> guard(lock_);
            outputEnded_ = true;
            break;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            partial_.append(buffer, static_cast<std::size_t>(got));
            std::size_t end;
            while ((end = partial_.find('\n')) != std::string::npos) {
                lines_.push_back(partial_.substr(0, end));
                partial_.erase(0, end + 1);
            }
        }
        changed_.notify_all();
    }
    changed_.notify_all();
}

bool Process::Running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

void Process::Kill(int signal) {
    if (pid_ > 0 && status_ < 0) kill(pid_, signal);
}

int Process::Wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (status_ >= 0) return status_;
    // A process descriptor becomes readable when the process ends; where the
    // kernel has none, the state is polled.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&p, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        close(pidfd);
        if (ready <= 0) return -1;
        Running();
    } else {
        Eventually([this] { return !Running(); }, timeoutMs);
    }
    // The lines it printed last may still be on their way to the reader; an
    // application it left behind may hold the output open, hence the bound.
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(2'000), [this] { return outputEnded_; });
    return status_;
}

void Process::CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
}

bool Process::WriteLine(const std::string& line) {
    if (input_ < 0) return false;
    const std::string text = line + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(input_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::string> Process::Lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

std::vector<std::string> Process::AwaitLines(const std::function<bool(const std::string&)>& match,
                                             std::size_t count, int timeoutMs) {
    std::vector<std::string> found;
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        found.clear();
        for (const std::string& line : lines_) {
            if (match(line)) found.push_back(line);
        }
        return found.size() >= count;
    });
    return found;
}

std::string Process::AwaitLine(const std::function<bool(const std::string&)>& match, int timeoutMs) {
    const std::vector<std::string> found = AwaitLines(match, 1, timeoutMs);
    return found.empty() ? std::string() : found.front();
}

// --- Peer ---------------------------------------------------------------------

Peer::Peer(const std::string& endpoint, int address, int mode) {
    EXPECT_TRUE(process_.Start({INTEGRATION_PEER_PATH, std::to_string(address), std::to_string(mode)},
                               {std::string("GATREL_ENDPOINT=") + endpoint}));
    const std::string value = Run("");  // the init result comes unasked
    init_ = value.empty() ? -1 : std::atoi(value.c_str());
}

std::string Peer::Run(const std::string& command) {
    if (!command.empty()) {
        EXPECT_TRUE(process_.WriteLine(command)) << command;
    }
    ++results_;
    const auto isResult = [](const std::string& line) { return line.compare(0, 7, "result ") == 0; };
    const std::vector<std::string> results = process_.AwaitLines(isResult, results_);
    if (results.size() < results_) {
        ADD_FAILURE() << "no result for '" << command << "'";
        return std::string();
    }
    // "result NAME VALUE...": the part after the name.
    const std::string& line = results[results_ - 1];
    const std::size_t name = line.find(' ', 7);
    return name == std::string::npos ? std::string() : line.substr(name + 1);
}

int Peer::Quit() {
    process_.CloseInput();
    return process_.Wait();
}

// --- Simulator ----------------------------------------------------------------

Simulator::~Simulator() {
    control_.Close();
    // A crash or a sanitizer's report in the simulator shows in its exit code.
    if (process_.Running()) {
        EXPECT_EQ(Stop(), 0) << "the simulator did not end cleanly";
    }
}

bool Simulator::Start(const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {GATEWAY_SIM_PATH,   "--endpoint", Endpoint(), "--data", Data(),
                                     "--control", folder_ / "control", "--no-prompt", "--quiet"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!process_.Start(argv, {})) return false;
    // The control socket exists once the simulator serves; until then the
    // connection is refused or the file is missing.
    const bool up = Eventually([this] {
        if (!process_.Running()) return true;
        return control_.Connect(folder_ / "control") == 0;
    });
    if (!up || !process_.Running()) return false;
    std::string output;
    return control_.Execute("list", &output);
}

int Simulator::Stop() {
    control_.Close();
    process_.Kill(SIGTERM);
    const int status = process_.Wait();
    if (status < 0) {
        process_.Kill(SIGKILL);
        process_.Wait();
    }
    return status;
}

std::string Simulator::Command(const std::string& command) {
    std::string output;
    EXPECT_TRUE(control_.Execute(command, &output)) << command << ": " << output;
    return output;
}

bool Simulator::AwaitList(const std::function<bool(const std::string&)>& condition, int timeoutMs) {
    return Eventually(
        [&] {
            std::string output;
            return control_.Execute("list", &output) && condition(output);
        },
        timeoutMs);
}

}  // namespace integration
