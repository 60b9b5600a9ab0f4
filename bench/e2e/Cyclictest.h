// The machine's wake-up latency, measured by Debian's cyclictest (rt-tests)
// beside a timing run of the harness: how late the machine wakes a thread
// that sleeps until an absolute time, under the same scheduling policy as
// the threads being measured. No timing figure of the library can be better.
//
// Thread rule: a Cyclictest object belongs to the thread that made it.
#pragma once

#include <sys/prctl.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

struct WakeLatency {
    bool ok = false;
    std::string error;  // why there is no figure
    std::uint64_t samples = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
};

// One cyclictest run of `seconds` with one thread waking every `intervalUs`,
// under SCHED_FIFO at `priority`, or under the ordinary policy with 0.
class Cyclictest {
public:
    // Latencies above this go to the histogram's overflow count.
    static constexpr int kHistogramUs = 20'000;

    Cyclictest(int seconds, int intervalUs, int priority) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            error_ = "pipe";
            return;
        }
        const std::string duration = "--duration=" + std::to_string(seconds);
        const std::string interval = "--interval=" + std::to_string(intervalUs);
        const std::string histogram = "--histogram=" + std::to_string(kHistogramUs);
        const std::string prio = "--priority=" + std::to_string(priority);
        // --default-system: the machine as the library finds it (cyclictest
        // otherwise holds every processor out of its deeper idle states for
        // the run). With --histogram, "--policy=other" is quietly turned into
        // SCHED_FIFO 2 by rt-tests 2.4; "--policy=normal" stays ordinary.
        std::vector<std::string> args = {"cyclictest", "--default-system", "--quiet", "--threads=1", duration,
                                         interval, histogram};
        if (priority > 0) {
            args.push_back("--policy=fifo");
            args.push_back(prio);
        } else {
            args.push_back("--policy=normal");
        }
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) {
            error_ = "fork";
            ::close(out[0]);
            ::close(out[1]);
            return;
        }
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) ::dup2(null, STDERR_FILENO);
            // The slack the library's service thread sleeps with (real-time
            // threads have none): the same timer precision on both sides.
            (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            _exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ~Cyclictest() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    Cyclictest(const Cyclictest&) = delete;
    Cyclictest& operator=(const Cyclictest&) = delete;

    // Waits (at most `timeoutMs`) for the run's end and reads its histogram.
    WakeLatency Finish(int timeoutMs) {
        WakeLatency result;
        if (!error_.empty()) {
            result.error = error_;
            return result;
        }
        std::string text;
        char buffer[4096];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 100);
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            const ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) break;  // the end of its output
            text.append(buffer, static_cast<std::size_t>(n));
        }
        // The end of its output comes a moment before its exit.
        int status = 0;
        pid_t ended = 0;
        while ((ended = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
            ::poll(nullptr, 0, 10);
        }
        if (ended != pid_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            result.error = "cyclictest did not end in time";
            return result;
        }
        pid_ = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            result.error = WIFEXITED(status) && WEXITSTATUS(status) == 127
                               ? "cyclictest is not installed (Debian's rt-tests: bash scripts/deps.sh bench)"
                               : "cyclictest failed (at a real-time priority it needs CAP_SYS_NICE)";
            return result;
        }
        Parse(text, &result);
        return result;
    }

private:
    // The histogram: one "USEC COUNT" line per microsecond, then comments
    // ("# Histogram Overflows: N", "# Max Latencies: N").
    static void Parse(const std::string& text, WakeLatency* result) {
        std::vector<std::uint64_t> counts(kHistogramUs + 1, 0);
        std::uint64_t overflows = 0;
        double maxUs = -1;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("# Histogram Overflows:", 0) == 0) {
                overflows = std::strtoull(line.c_str() + 22, nullptr, 10);
            } else if (line.rfind("# Max Latencies:", 0) == 0) {
                maxUs = std::strtod(line.c_str() + 16, nullptr);
            } else if (!line.empty() && line[0] != '#') {
                unsigned long us = 0;
                unsigned long long count = 0;
                if (std::sscanf(line.c_str(), "%lu %llu", &us, &count) == 2 && us <= kHistogramUs) {
                    counts[us] += count;
                }
            }
        }
        std::uint64_t total = overflows;
        for (const std::uint64_t count : counts) total += count;
        if (total == 0 || maxUs < 0) {
            result->error = "no histogram in cyclictest's output";
            return;
        }
        // The smallest latency that `share` of the samples do not exceed;
        // an overflow counts as the largest latency seen.
        const auto percentile = [&](double share) {
            const auto rank = static_cast<std::uint64_t>(share * static_cast<double>(total - 1) + 0.5) + 1;
            std::uint64_t seen = 0;
            for (std::size_t us = 0; us < counts.size(); ++us) {
                seen += counts[us];
                if (seen >= rank) return static_cast<double>(us) / 1000.0;
            }
            return maxUs / 1000.0;
        };
        result->ok = true;
        result->samples = total;
        result->p50Ms = percentile(0.5);
        result->p99Ms = percentile(0.99);
        result->maxMs = maxUs / 1000.0;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string error_;
};

}  // namespace bench
