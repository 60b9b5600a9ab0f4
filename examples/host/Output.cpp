#include "Output.h"

#include <signal.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace examples {

namespace {
std::mutex& OutputLock() {
    static std::mutex lock;
    return lock;
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

void Say(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(OutputLock());
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Hex(const unsigned char* data, std::size_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        if (i != 0) text += ' ';
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

int SecondsArgument(int argc, char** argv, int index, int fallback, const char* usage) {
    if (argc <= index) return fallback;
    char* end = nullptr;
    const long value = std::strtol(argv[index], &end, 10);
    if (end == argv[index] || *end != '\0' || value < 1 || value > 86400) {
        std::fprintf(stderr, "%s", usage);
        std::exit(2);
    }
    return static_cast<int>(value);
}

void BlockStopSignals() {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WaitForStopSignal(int seconds) {
    const sigset_t set = StopSignals();
    timespec left{seconds, 0};
    for (;;) {
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        const int signal = sigtimedwait(&set, nullptr, &left);
        if (signal > 0) return true;
        if (errno != EINTR) return false;  // EAGAIN: the time ran out
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long elapsedNs = (now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec);
        const long long leftNs = left.tv_sec * 1000000000LL + left.tv_nsec - elapsedNs;
        if (leftNs <= 0) return false;
        left.tv_sec = leftNs / 1000000000LL;
        left.tv_nsec = leftNs % 1000000000LL;
    }
}

bool StopSignalPending() {
    const sigset_t set = StopSignals();
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0) return false;
    if (!sigismember(&pending, SIGINT) && !sigismember(&pending, SIGTERM)) return false;
    timespec now{0, 0};
    sigtimedwait(&set, nullptr, &now);
    return true;
}

}  // namespace examples
