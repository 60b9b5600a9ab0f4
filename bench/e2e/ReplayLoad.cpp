// Replay at truck rate: gateway-sim in a process of its own replays a log of
// five busy buses with the log's timing into applications (each a process,
// linked against the library) that take every frame of the five buses. The
// log's frames are spread evenly over the buses and in time, each bus cycling
// through ten extended identifiers (so every identifier is exactly periodic);
// each frame carries its bus's sequence number and its time in the log.
// Every application checks that it gets each bus's frames once and in order
// and measures how long after its due time (the replay's start, as the
// command `replay` tells it, plus the frame's time in the log) each frame reached its
// callback.
//
//   customapp_replayload [--seconds S] [--rate FRAMES_PER_S] [--apps N] [--bitrate KBITS] [--sim PATH]
//                        [--dbc FILE --nodes FILE]
//
// With --nodes (and the --dbc its nodes take their messages from) the
// simulator also plays those ECUs, whose frames share the buses with the
// replay; the applications count them as unknown.
// Prints the figures; the exit status is 0 when every frame reached every
// application once and in order, 1 otherwise.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "IPCClient.h"
#include "Processes.h"

namespace {

using namespace CustomApplication;
using bench::NowUs;
using bench::ReadAll;
using bench::WriteAll;

constexpr int kBuses = 5;
constexpr int kIdentifiersPerBus = 10;
constexpr std::uint32_t kFirstIdentifier = 0x18FEA000;
constexpr std::int32_t kFirstAddress = 100;
constexpr std::int64_t kLogStartUs = 1'796'676'520'000'000;
// Lateness histogram: 10 us buckets up to 10 s, the last one takes the rest;
// frames that came early count as on time.
constexpr std::size_t kBuckets = 1'000'000;
constexpr std::int64_t kBucketUs = 10;

struct Settings {
    int seconds = 20;
    int rate = 30500;  // frames per second, all buses together
    int apps = 8;
    std::string bitrate = "1000";
    std::string sim = GATEWAY_SIM_PATH;
    std::string dbc;    // empty: none
    std::string nodes;  // empty: no simulated nodes
};

// The simulator, once started: a failed run does not leave it behind.
pid_t simulatorPid = -1;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "customapp_replayload: %s: %s\n", what, std::strerror(errno));
    if (simulatorPid > 0) ::kill(simulatorPid, SIGTERM);
    std::exit(2);
}

// What the harness tells the applications once the replay was asked for.
struct Schedule {
    std::int64_t startUs = 0;   // when the log's first frame was due
    std::int64_t logEndUs = 0;  // the last frame's time in the log, from the first
    std::uint32_t framesPerBus[kBuses] = {};
};

// What one application reports at the end.
struct Result {
    std::uint64_t received = 0;
    std::uint64_t lost = 0;
    std::uint64_t disordered = 0;
    std::uint64_t unexpected = 0;
    std::uint32_t lateness[kBuckets] = {};
};

// Receiver state of one application: arrival minus time in the log, per
// frame, kept until the schedule is known.
struct Receiver {
    std::mutex lock;
    std::uint32_t next[kBuses] = {};
    std::vector<std::int64_t> arrivals;  // NowUs() - offset in the log
    Result* result = nullptr;

    void Take(int bus, std::uint32_t id, const unsigned char* data, unsigned length) {
        const std::int64_t now = NowUs();
        std::lock_guard<std::mutex> guard(lock);
        Result& r = *result;
        if (bus < 0 || bus >= kBuses || length != 8 || id < kFirstIdentifier ||
            id >= kFirstIdentifier + kIdentifiersPerBus) {
            ++r.unexpected;
            return;
        }
        std::uint32_t seq, offsetUs;
        std::memcpy(&seq, data, 4);
        std::memcpy(&offsetUs, data + 4, 4);
        ++r.received;
        if (seq < next[bus]) {
            ++r.disordered;
        } else {
            r.lost += seq - next[bus];
            next[bus] = seq + 1;
        }
        if (arrivals.size() < arrivals.capacity()) arrivals.push_back(now - std::int64_t{offsetUs});
    }
    static void Callback(void* context, CoreTypes::CANBus bus, unsigned int id, CANTypes::FrameType,
                         const unsigned char* data, unsigned char length) {
        static_cast<Receiver*>(context)->Take(static_cast<int>(bus), id, data, length);
    }
};

[[noreturn]] void Application(int index, std::uint64_t frames, int in, int out) {
    static Result result;
    static Receiver receiver;
    receiver.result = &result;
    receiver.arrivals.reserve(frames);
    TarvexInterface sdk;
    static CoreTypes::ServiceProviders host{};
    if (sdk.Init(kFirstAddress + index, &host, 0) != 0) _exit(3);
    CANTypes::CANReceiveTableEntry none[1] = {};
    CANTypes::CANTransmitTableEntry nothing[1] = {};
    for (int bus = 0; bus < kBuses; ++bus) {
        const auto b = static_cast<CoreTypes::CANBus>(bus);
        if (sdk.CANInit(b, none, 0, nothing, 0) <= 0) _exit(4);
        if (sdk.CANRegisterReceiveAllMessages(b, CANTypes::Extended, &Receiver::Callback, &receiver) != 0) _exit(5);
    }
    const char ready = 'r';
    if (!WriteAll(out, &ready, 1)) _exit(6);
    Schedule schedule;
    if (!ReadAll(in, &schedule, sizeof schedule, 600'000)) _exit(7);
    // Wait (bounded) until every frame came or the log is long over.
    const std::int64_t deadline = schedule.startUs + schedule.logEndUs + 30'000'000;
    for (;;) {
        bool complete = true;
        {
            std::lock_guard<std::mutex> guard(receiver.lock);
            for (int bus = 0; bus < kBuses; ++bus)
                if (receiver.next[bus] < schedule.framesPerBus[bus]) complete = false;
        }
        if (complete || NowUs() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    {
        std::lock_guard<std::mutex> guard(receiver.lock);
        for (int bus = 0; bus < kBuses; ++bus)
            if (receiver.next[bus] < schedule.framesPerBus[bus])
                result.lost += schedule.framesPerBus[bus] - receiver.next[bus];
        for (const std::int64_t arrival : receiver.arrivals) {
            // arrival = reception - offset; the frame was due at startUs + offset.
            const std::int64_t late = std::max<std::int64_t>(0, arrival - schedule.startUs);
            ++result.lateness[std::min<std::size_t>(static_cast<std::size_t>(late / kBucketUs), kBuckets - 1)];
        }
        if (!WriteAll(out, &result, sizeof result)) _exit(8);
    }
    sdk.Shutdown();
    _exit(0);
}

// Writes the log; counts the frames per bus and notes the last frame's
// offset in `*schedule`. Returns the frames in all.
std::uint64_t WriteLog(const std::string& path, const Settings& s, Schedule* schedule) {
    std::FILE* f = std::fopen(path.c_str(), "we");
    if (f == nullptr) Fail("writing the log");
    const std::uint64_t total = std::uint64_t(s.rate) * std::uint64_t(s.seconds);
    for (std::uint64_t k = 0; k < total; ++k) {
        const int bus = static_cast<int>(k % kBuses);
        const std::uint32_t seq = schedule->framesPerBus[bus]++;
        const auto offsetUs = static_cast<std::uint32_t>(k * 1'000'000 / std::uint64_t(s.rate));
        const std::int64_t time = kLogStartUs + offsetUs;
        const std::uint32_t id = kFirstIdentifier + seq % kIdentifiersPerBus;
        unsigned char data[8];
        std::memcpy(data, &seq, 4);
        std::memcpy(data + 4, &offsetUs, 4);
        std::fprintf(f, "(%" PRId64 ".%06" PRId64 ") can%d %08X#%02X%02X%02X%02X%02X%02X%02X%02X\n",
                     time / 1'000'000, time % 1'000'000, bus, id, data[0], data[1], data[2], data[3], data[4],
                     data[5], data[6], data[7]);
        schedule->logEndUs = offsetUs;
    }
    if (std::fclose(f) != 0) Fail("writing the log");
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--seconds") s.seconds = std::atoi(argv[i + 1]);
        else if (key == "--rate") s.rate = std::atoi(argv[i + 1]);
        else if (key == "--apps") s.apps = std::atoi(argv[i + 1]);
        else if (key == "--bitrate") s.bitrate = argv[i + 1];
        else if (key == "--sim") s.sim = argv[i + 1];
        else if (key == "--dbc") s.dbc = argv[i + 1];
        else if (key == "--nodes") s.nodes = argv[i + 1];
        else {
            std::fprintf(stderr,
                         "usage: %s [--seconds S] [--rate FRAMES_PER_S] [--apps N] [--bitrate KBITS] [--sim PATH] "
                         "[--dbc FILE --nodes FILE]\n",
                         argv[0]);
            return 2;
        }
    }
    if (s.seconds < 1 || s.seconds > 600 || s.rate < kBuses || s.rate > 1'000'000 || s.apps < 1 || s.apps > 16) {
        std::fprintf(stderr, "customapp_replayload: --seconds 1 to 600, --rate 5 to 1000000, --apps 1 to 16\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    char folder[] = "/tmp/customapp-replayload.XXXXXX";
    if (!::mkdtemp(folder)) Fail("mkdtemp");
    const std::string dir = folder;
    const std::string endpoint = dir + "/endpoint", control = dir + "/control", data = dir + "/data",
                      log = dir + "/truck.log";
    Schedule schedule;
    const std::uint64_t frames = WriteLog(log, s, &schedule);

    std::vector<std::string> simArgs{"--endpoint", endpoint, "--data", data, "--control", control,
                                     "--bitrate", s.bitrate, "--no-prompt", "--quiet"};
    if (!s.dbc.empty()) simArgs.insert(simArgs.end(), {"--dbc", s.dbc});
    if (!s.nodes.empty()) simArgs.insert(simArgs.end(), {"--nodes", s.nodes});
    const pid_t sim = bench::StartSimulator(s.sim, simArgs, control);
    if (sim < 0) Fail("the simulator did not start");
    simulatorPid = sim;
    ::setenv(PlatformServices::kEndpointEnvVar, endpoint.c_str(), 1);

    std::vector<bench::AppProcess> apps;
    bool ok = bench::StartApplications(s.apps, [&](int i, int in, int out) { Application(i, frames, in, out); }, &apps);
    if (!ok) Fail("an application did not start");

    // The applications' subscriptions reach the simulator after their calls
    // return: give them the time that the full-load run gives its senders.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double cpuStart = bench::CpuSeconds(sim);
    const std::int64_t askedUs = NowUs();
    const std::string answer = bench::ControlCommand(control, "replay " + log);
    if (answer.find("error") != std::string::npos) {
        std::fprintf(stderr, "customapp_replayload: replay refused: %s", answer.c_str());
        ok = false;
    }
    // Due times count from the replay's start as the simulator tells it (the
    // same monotonic clock); the control socket's round trip before it is
    // shown apart.
    const std::string status = bench::ControlCommand(control, "replay");
    const std::size_t started = status.find("started at ");
    schedule.startUs = started == std::string::npos
                           ? askedUs
                           : static_cast<std::int64_t>(std::strtod(status.c_str() + started + 11, nullptr) * 1e6 + 0.5);
    if (started == std::string::npos) std::fprintf(stderr, "customapp_replayload: no start in: %s", status.c_str());
    for (const bench::AppProcess& a : apps) WriteAll(a.in, &schedule, sizeof schedule);
    // The simulator's CPU over the log's span.
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
        std::chrono::microseconds(schedule.startUs + schedule.logEndUs)));
    const double cpu = bench::CpuSeconds(sim) - cpuStart;
    const double spanS = double(NowUs() - schedule.startUs) / 1e6;

    std::vector<std::uint64_t> histogram(kBuckets, 0);
    Result total;
    static Result one;
    std::uint64_t samples = 0;
    for (const bench::AppProcess& a : apps) {
        if (!ReadAll(a.out, &one, sizeof one, 120'000)) Fail("an application did not report");
        total.received += one.received;
        total.lost += one.lost;
        total.disordered += one.disordered;
        total.unexpected += one.unexpected;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            histogram[b] += one.lateness[b];
            samples += one.lateness[b];
        }
    }
    if (!bench::AwaitApplications(apps)) ok = false;
    ::kill(sim, SIGTERM);
    ::waitpid(sim, nullptr, 0);
    std::system(("rm -rf '" + dir + "'").c_str());

    // A frame at offset o came within 2 s of the log's end when o + lateness
    // <= logEnd + 2 s. Lateness grows while the replay falls behind, so the
    // bound is met by every frame when the latest frames meet it: the largest
    // lateness is checked against 2 s plus the smallest slack, that of the
    // last frame (offset logEnd).
    const double maxLateUs = bench::Percentile(histogram, samples, 1.0) * kBucketUs;
    const std::uint64_t expected = frames * static_cast<std::uint64_t>(s.apps);
    std::printf("replay: %" PRIu64 " frames over %d buses in %.1f s of log (%d frames per s), with its timing, "
                "into %d applications, buses at %s kbit/s\n",
                frames, kBuses, double(schedule.logEndUs) / 1e6, s.rate, s.apps, s.bitrate.c_str());
    std::printf("frames received: %" PRIu64 " of %" PRIu64 "; lost %" PRIu64 ", out of order or twice %" PRIu64
                ", unknown %" PRIu64 "\n",
                total.received, expected, total.lost, total.disordered, total.unexpected);
    std::printf("replay started %.0f us after it was asked for (the control socket's round trip and the start)\n",
                double(schedule.startUs - askedUs));
    std::printf("after due time: median %.0f us, p99 %.0f us, p99.9 %.0f us, max %.0f us%s\n",
                bench::Percentile(histogram, samples, 0.5) * kBucketUs,
                bench::Percentile(histogram, samples, 0.99) * kBucketUs,
                bench::Percentile(histogram, samples, 0.999) * kBucketUs, maxLateUs,
                histogram[kBuckets - 1] ? " (10 s or more)" : "");
    std::printf("every frame within 2 s of the log's end: %s\n",
                samples == expected && maxLateUs <= 2e6 ? "yes" : "NO");
    std::printf("simulator CPU over the log's span: %.3f s per s (%.1f %% of one core)\n", cpu / spanS,
                100.0 * cpu / spanS);
    const bool complete = ok && total.lost == 0 && total.disordered == 0 && total.received == expected;
    std::printf("every frame delivered once and in order: %s\n", complete ? "yes" : "NO");
    return complete ? 0 : 1;
}
