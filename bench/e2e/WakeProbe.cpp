// How late the machine wakes a sleeping thread, against how long it stops
// one that runs: what the timing figures of the other harnesses cannot be
// better than.
//
//   customapp_wakeprobe [SECONDS]
//
// Sleeps 1 ms at a time for SECONDS (default 10) and counts the sleeps that
// ended more than 1 ms late; then spins for as long and counts the gaps of
// more than 0.5 ms between two readings of the clock.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds < 1 || seconds > 600) {
        std::fprintf(stderr, "usage: %s [SECONDS 1..600]\n", argv[0]);
        return 2;
    }
    const auto span = std::chrono::seconds(seconds);

    int late = 0;
    double worst = 0;
    long sleeps = 0;
    for (auto start = Clock::now(), last = start; Clock::now() - start < span; ++sleeps) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto now = Clock::now();
        const double over = Ms(now - last) - 1.0;
        if (over > 1.0) ++late;
        if (over > worst) worst = over;
        last = now;
    }
    std::printf("sleeping 1 ms at a time, %d s: %ld sleeps, %d ended more than 1 ms late, the latest by %.3f ms\n",
                seconds, sleeps, late, worst);

    int stalls = 0;
    double longest = 0;
    for (auto start = Clock::now(), last = start; Clock::now() - start < span;) {
        const auto now = Clock::now();
        const double gap = Ms(now - last);
        if (gap > 0.5) ++stalls;
        if (gap > longest) longest = gap;
        last = now;
    }
    std::printf("spinning, %d s: %d gaps of more than 0.5 ms, the longest %.3f ms\n", seconds, stalls, longest);
    return 0;
}
