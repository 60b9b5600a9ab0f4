// Shared by the end-to-end programs that run gateway-sim and applications as
// processes: time, whole reads and writes on pipes, what /proc tells about a
// process, and the simulator's control socket.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline bool WriteAll(int fd, const void* data, std::size_t length) {
    const char* at = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd, at, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly `length` bytes, waiting at most `timeoutMs` in all.
inline bool ReadAll(int fd, void* data, std::size_t length, int timeoutMs) {
    char* at = static_cast<char*>(data);
    const std::int64_t deadline = NowUs() + std::int64_t{timeoutMs} * 1000;
    while (length > 0) {
        pollfd p{fd, POLLIN, 0};
        const int wait = static_cast<int>(std::max<std::int64_t>(0, (deadline - NowUs()) / 1000));
        const int r = ::poll(&p, 1, wait);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t n = ::read(fd, at, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Resident memory (kB) and open descriptors of process `pid`, and its CPU
// time (s, user and system).
inline long ResidentKb(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

inline int Descriptors(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(path.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

inline double CpuSeconds(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (!f) return -1;
    char buffer[1024];
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    buffer[n] = '\0';
    const char* p = std::strrchr(buffer, ')');  // the name may hold spaces
    if (!p) return -1;
    unsigned long utime = 0, stime = 0;
    // Fields after the name: state, then 10 numbers before utime (14th field).
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return -1;
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// Connects to the simulator's control socket, waiting at most `timeoutMs`.
inline bool AwaitSocket(const std::string& path, int timeoutMs) {
    const std::int64_t deadline = NowUs() + std::int64_t{timeoutMs} * 1000;
    while (NowUs() < deadline) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (fd >= 0) ::close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

inline double Percentile(const std::vector<std::uint64_t>& histogram, std::uint64_t total, double q) {
    if (total == 0) return 0;
    const auto rank = std::min(total - 1, static_cast<std::uint64_t>(q * double(total)));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < histogram.size(); ++i) {
        seen += histogram[i];
        if (seen > rank) return double(i);
    }
    return double(histogram.size());
}

// Sends one command to the simulator's control socket and returns its
// answer up to and including "ok" or the error line (what came, on a
// time-out of 15 s).
inline std::string ControlCommand(const std::string& path, const std::string& command) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    std::string answer;
    const std::string line = command + "\n";
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        WriteAll(fd, line.data(), line.size())) {
        char buffer[4096];
        while ((answer.compare(0, 3, "ok\n") != 0 && answer.find("\nok\n") == std::string::npos) &&
               answer.find("error: ") == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 15'000) <= 0) break;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    if (fd >= 0) ::close(fd);
    return answer;
}

// An application process and its pipes: `in` to it, `out` from it.
struct AppProcess {
    pid_t pid;
    int in, out;
};

// Starts gateway-sim at `path` with `args` and waits (10 s at most) until its
// control socket `control` answers; its process id, or -1.
inline pid_t StartSimulator(const std::string& path, const std::vector<std::string>& args,
                            const std::string& control) {
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t sim = ::fork();
    if (sim < 0) return -1;
    if (sim == 0) {
        ::execv(path.c_str(), argv.data());
        _exit(127);
    }
    if (AwaitSocket(control, 10'000)) return sim;
    ::kill(sim, SIGKILL);
    ::waitpid(sim, nullptr, 0);
    return -1;
}

// Forks `count` applications, each running `body(index, in, out)` (which
// must end its process), and waits (30 s at most) until each has written
// its one byte of readiness. False when one did not.
inline bool StartApplications(int count, const std::function<void(int index, int in, int out)>& body,
                              std::vector<AppProcess>* apps) {
    for (int i = 0; i < count; ++i) {
        int down[2], up[2];
        if (::pipe(down) != 0 || ::pipe(up) != 0) return false;
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid < 0) return false;
        if (pid == 0) {
            ::close(down[1]);
            ::close(up[0]);
            body(i, down[0], up[1]);
            _exit(1);
        }
        ::close(down[0]);
        ::close(up[1]);
        apps->push_back(AppProcess{pid, down[1], up[0]});
    }
    bool ok = true;
    for (const AppProcess& a : *apps) {
        char ready = 0;
        if (!ReadAll(a.out, &ready, 1, 30'000)) ok = false;
    }
    return ok;
}

// Waits for every application to end; true when all exited with 0.
inline bool AwaitApplications(const std::vector<AppProcess>& apps) {
    bool ok = true;
    for (const AppProcess& a : apps) {
        int status = 0;
        ::waitpid(a.pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ok = false;
    }
    return ok;
}

}  // namespace bench
