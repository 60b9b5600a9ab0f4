// The simulator at full bus load: gateway-sim in a process of its own, and
// applications (each a process, linked against the library) that all send and
// all take every frame of the five buses. Each application sends a steady
// stream on every bus, alternating standard and extended frames that carry a
// sequence number and the send time, plus two cyclic rows per bus. Every
// receiver checks that it gets each other application's stream once, in
// order and complete, and measures the delay from send to its callback.
// With --wire-latency the simulator logs every frame with the time it ended
// on the wire, and each receiver also measures the delay from there to its
// callback: what the simulator and the library add beyond the bus itself.
//
//   customapp_fullload [--seconds S] [--apps N] [--frames-per-bus F] [--bitrate KBITS|unlimited]
//                      [--wire-latency 1] [--eeprom-saves MIB] [--sim PATH]
//
// With --eeprom-saves, the EEPROMs are MIB MiB and one more application
// writes and saves its EEPROM over and over while the others send: the
// latency then shows what the saves cost the buses.
//
// Prints the figures; the exit status is 0 when every sequenced frame reached
// every other application once and in order, 1 otherwise.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "IPCClient.h"
#include "Processes.h"

namespace {

using namespace CustomApplication;
using bench::AwaitSocket;
using bench::CpuSeconds;
using bench::Descriptors;
using bench::NowUs;
using bench::Percentile;
using bench::ReadAll;
using bench::ResidentKb;
using bench::WriteAll;

constexpr int kBuses = 5;
constexpr int kMaxApps = 16;
constexpr std::int32_t kFirstAddress = 100;
// Identifiers: the sequenced stream of application i is 0x100 + i (standard)
// and 0x18FF0000 + i (extended); its cyclic rows 0x200 + i every 10 ms and
// 0x18FE0000 + i every 20 ms.
constexpr std::uint32_t kSeqStandard = 0x100;
constexpr std::uint32_t kSeqExtended = 0x18FF0000;
constexpr std::uint32_t kCyclicStandard = 0x200;
constexpr std::uint32_t kCyclicExtended = 0x18FE0000;
constexpr int kCyclicFramesPerSecond = 100 + 50;  // per application and bus
// Latency histogram: 1 us buckets up to 100 ms, the last one takes the rest.
constexpr std::size_t kBuckets = 100'000;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "customapp_fullload: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}


struct Settings {
    int seconds = 60;
    int apps = 8;
    int framesPerBus = 21000;  // all applications together, cyclic rows included
    std::string bitrate = "unlimited";  // the stress by default: more than a bus carries
    bool wireLatency = false;
    std::string log;  // the simulator's log, with --wire-latency
    int eepromMiB = 0;  // 0: no EEPROM saves during the window
    std::string sim = GATEWAY_SIM_PATH;
};

// What one application reports at the end.
struct Result {
    std::uint64_t sequenced = 0;   // sequenced frames received
    std::uint64_t lost = 0;        // sequence numbers skipped or never received
    std::uint64_t disordered = 0;  // a sequence number at or below one seen before
    std::uint64_t cyclic = 0;      // cyclic frames received within the sending window
    std::uint64_t unexpected = 0;  // frames of no known identifier
    std::uint32_t latency[kBuckets] = {};
    std::uint32_t beyondWire[kBuckets] = {};  // from the end on the wire to the callback
};

// Receiver state of one application; the listener thread writes it, the main
// thread reads it, both under the lock.
struct Receiver {
    std::mutex lock;
    std::uint32_t next[kMaxApps][kBuses] = {};  // expected sequence number
    std::int64_t windowStartUs = 0;
    std::int64_t windowEndUs = 0;
    Result* result = nullptr;
    // With --wire-latency: the callback time (monotonic us) of every
    // sequenced frame, by sender, bus and sequence number.
    bool keepTimes = false;
    std::vector<std::uint32_t> times[kMaxApps][kBuses];

    void Take(int bus, std::uint32_t id, const unsigned char* data, unsigned length) {
        const std::int64_t now = NowUs();
        std::lock_guard<std::mutex> guard(lock);
        Result& r = *result;
        std::uint32_t sender = kMaxApps;
        if (id >= kSeqStandard && id < kSeqStandard + kMaxApps) sender = id - kSeqStandard;
        if (id >= kSeqExtended && id < kSeqExtended + kMaxApps) sender = id - kSeqExtended;
        if (sender < kMaxApps && length == 8 && bus >= 0 && bus < kBuses) {
            std::uint32_t seq, sentUs;
            std::memcpy(&seq, data, 4);
            std::memcpy(&sentUs, data + 4, 4);
            std::uint32_t& expected = next[sender][bus];
            ++r.sequenced;
            if (seq < expected) {
                ++r.disordered;
            } else {
                r.lost += seq - expected;
                expected = seq + 1;
            }
            const std::uint32_t delay = static_cast<std::uint32_t>(now) - sentUs;
            ++r.latency[std::min<std::size_t>(delay, kBuckets - 1)];
            if (keepTimes) {
                std::vector<std::uint32_t>& at = times[sender][bus];
                if (at.size() <= seq) at.resize(std::max<std::size_t>(seq + 1, at.size() * 2), 0);
                at[seq] = static_cast<std::uint32_t>(now);
            }
            return;
        }
        const bool cyclic = (id >= kCyclicStandard && id < kCyclicStandard + kMaxApps) ||
                            (id >= kCyclicExtended && id < kCyclicExtended + kMaxApps);
        if (!cyclic) {
            ++r.unexpected;
        } else if (now >= windowStartUs && now < windowEndUs) {
            ++r.cyclic;
        }
    }
    static void Callback(void* context, CoreTypes::CANBus bus, unsigned int id, CANTypes::FrameType,
                         const unsigned char* data, unsigned char length) {
        static_cast<Receiver*>(context)->Take(static_cast<int>(bus), id, data, length);
    }
};

// Wall-clock minus monotonic time, in microseconds.
std::int64_t WallOffsetUs() {
    const std::int64_t wall = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
    return wall - NowUs();
}

// Reads the simulator's log: for every sequenced frame this receiver took,
// the delay from its end on the wire (the log's time) to the callback.
void MeasureBeyondWire(const std::string& log, Receiver& receiver) {
    std::FILE* f = std::fopen(log.c_str(), "r");
    if (!f) return;
    const std::int64_t offset = WallOffsetUs();
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
        long long seconds = 0, micros = 0;
        unsigned bus = 0, id = 0;
        char data[17] = {};
        if (std::sscanf(line, "(%lld.%lld) can%u %x#%16s", &seconds, &micros, &bus, &id, data) != 5) continue;
        std::uint32_t sender = kMaxApps;
        if (id >= kSeqStandard && id < kSeqStandard + kMaxApps) sender = id - kSeqStandard;
        if (id >= kSeqExtended && id < kSeqExtended + kMaxApps) sender = id - kSeqExtended;
        if (sender >= kMaxApps || bus >= kBuses || std::strlen(data) != 16) continue;
        unsigned b[4];
        if (std::sscanf(data, "%2x%2x%2x%2x", &b[0], &b[1], &b[2], &b[3]) != 4) continue;
        const std::uint32_t seq = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
        const std::vector<std::uint32_t>& at = receiver.times[sender][bus];
        if (seq >= at.size() || at[seq] == 0) continue;
        const std::int64_t endUs = seconds * 1'000'000 + micros - offset;
        const auto delay = static_cast<std::int32_t>(at[seq] - static_cast<std::uint32_t>(endUs));
        ++receiver.result->beyondWire[std::min<std::size_t>(static_cast<std::size_t>(std::max(0, delay)), kBuckets - 1)];
    }
    std::fclose(f);
}

// One application: sets up all buses, reports ready, sends its streams from
// the given start for the given time, reports its counts, waits for the
// counts of all, then reports what it received.
[[noreturn]] void Application(int index, const Settings& s, int in, int out) {
    static Result result;
    static Receiver receiver;
    receiver.result = &result;
    receiver.keepTimes = s.wireLatency;
    TarvexInterface sdk;
    static CoreTypes::ServiceProviders host{};
    if (sdk.Init(kFirstAddress + index, &host, 0) != 0) _exit(3);
    static const unsigned char payload[8] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7};
    CANTypes::CANTransmitTableEntry rows[2] = {
        {payload, 8, kCyclicStandard + static_cast<std::uint32_t>(index), CANTypes::Standard, 10},
        {payload, 8, kCyclicExtended + static_cast<std::uint32_t>(index), CANTypes::Extended, 20},
    };
    CANTypes::CANReceiveTableEntry none[1] = {};
    for (int bus = 0; bus < kBuses; ++bus) {
        const auto b = static_cast<CoreTypes::CANBus>(bus);
        if (sdk.CANInit(b, none, 0, rows, 2) <= 0) _exit(4);
        if (sdk.CANRegisterReceiveAllMessages(b, CANTypes::Standard, &Receiver::Callback, &receiver) != 0 ||
            sdk.CANRegisterReceiveAllMessages(b, CANTypes::Extended, &Receiver::Callback, &receiver) != 0)
            _exit(5);
    }
    const char ready = 'r';
    if (!WriteAll(out, &ready, 1)) _exit(6);
    std::int64_t startUs = 0;
    if (!ReadAll(in, &startUs, sizeof startUs, 120'000)) _exit(7);
    const std::int64_t endUs = startUs + std::int64_t{s.seconds} * 1'000'000;
    {
        std::lock_guard<std::mutex> guard(receiver.lock);
        receiver.windowStartUs = startUs;
        receiver.windowEndUs = endUs;
    }

    // The stream: frames per second per bus of this application, besides
    // its cyclic rows.
    const double rate = std::max(0.0, double(s.framesPerBus) / s.apps - kCyclicFramesPerSecond);
    std::array<std::uint32_t, kBuses> sent{};
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::microseconds(startUs)));
    for (std::int64_t tick = startUs;; tick += 1000) {
        const std::int64_t now = std::min(NowUs(), endUs);
        const auto due = static_cast<std::uint32_t>(double(now - startUs) * rate / 1e6);
        for (int bus = 0; bus < kBuses; ++bus) {
            while (sent[bus] < due) {
                const std::uint32_t seq = sent[bus]++;
                CANTypes::CANMessage m{};
                m.Bus = static_cast<CoreTypes::CANBus>(bus);
                const bool extended = (seq & 1) != 0;
                m.Type = extended ? CANTypes::Extended : CANTypes::Standard;
                m.Identifier = (extended ? kSeqExtended : kSeqStandard) + static_cast<std::uint32_t>(index);
                m.Length = 8;
                const auto stamp = static_cast<std::uint32_t>(NowUs());
                std::memcpy(m.Data, &seq, 4);
                std::memcpy(m.Data + 4, &stamp, 4);
                sdk.CANSendMessage(&m);
            }
        }
        if (now >= endUs) break;
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::microseconds(tick + 1000)));
    }
    if (!WriteAll(out, sent.data(), sizeof sent)) _exit(8);

    // Everyone's counts; then wait (bounded) until every stream is complete.
    std::uint32_t totals[kMaxApps][kBuses] = {};
    if (!ReadAll(in, totals, sizeof totals, 120'000)) _exit(9);
    const std::int64_t deadline = NowUs() + 10'000'000;
    for (;;) {
        bool complete = true;
        {
            std::lock_guard<std::mutex> guard(receiver.lock);
            for (int a = 0; a < s.apps; ++a)
                for (int bus = 0; bus < kBuses; ++bus)
                    if (a != index && receiver.next[a][bus] < totals[a][bus]) complete = false;
        }
        if (complete || NowUs() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard<std::mutex> guard(receiver.lock);
        for (int a = 0; a < s.apps; ++a)
            for (int bus = 0; bus < kBuses; ++bus)
                if (a != index && receiver.next[a][bus] < totals[a][bus])
                    result.lost += totals[a][bus] - receiver.next[a][bus];
        if (s.wireLatency) MeasureBeyondWire(s.log, receiver);
        if (!WriteAll(out, &result, sizeof result)) _exit(10);
    }
    sdk.Shutdown();
    _exit(0);
}

// The EEPROM saver: writes a block of its EEPROM and saves it, over and
// over, from the given start for the given time; reports how many saves
// succeeded.
[[noreturn]] void Saver(const Settings& s, int in, int out) {
    TarvexInterface sdk;
    static CoreTypes::ServiceProviders host{};
    if (sdk.Init(kFirstAddress + kMaxApps, &host, 0) != 0) _exit(3);
    const char ready = 'r';
    if (!WriteAll(out, &ready, 1)) _exit(6);
    std::int64_t startUs = 0;
    if (!ReadAll(in, &startUs, sizeof startUs, 120'000)) _exit(7);
    const std::int64_t endUs = startUs + std::int64_t{s.seconds} * 1'000'000;
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::microseconds(startUs)));
    std::uint32_t saves = 0;
    unsigned char block[1024];
    const std::uint32_t blocks = static_cast<std::uint32_t>(s.eepromMiB) * 1024u;
    for (std::uint32_t round = 0; NowUs() < endUs; ++round) {
        std::memset(block, static_cast<int>(round), sizeof block);
        sdk.EEPROMWrite((round % blocks) * 1024u, block, sizeof block);
        if (sdk.EEPROMSave() == 0) ++saves;
    }
    if (!WriteAll(out, &saves, sizeof saves)) _exit(8);
    sdk.Shutdown();
    _exit(0);
}

// The lines of the simulator's `timing` answer that give the buses' load
// (empty when the simulator does not report them).
std::string BusLoadLines(const std::string& path) {
    const std::string answer = bench::ControlCommand(path, "timing");
    std::string lines;
    for (std::size_t at = 0, end; (end = answer.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = answer.substr(at, end - at);
        if (line.compare(0, 3, "can") == 0 &&
            (line.find("kbit/s:") != std::string::npos || line.find("unlimited:") != std::string::npos))
            lines += "  " + line + "\n";
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--seconds") s.seconds = std::atoi(argv[i + 1]);
        else if (key == "--apps") s.apps = std::atoi(argv[i + 1]);
        else if (key == "--frames-per-bus") s.framesPerBus = std::atoi(argv[i + 1]);
        else if (key == "--sim") s.sim = argv[i + 1];
        else if (key == "--bitrate") s.bitrate = argv[i + 1];
        else if (key == "--wire-latency") s.wireLatency = std::atoi(argv[i + 1]) != 0;
        else if (key == "--eeprom-saves") s.eepromMiB = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr,
                         "usage: %s [--seconds S] [--apps N] [--frames-per-bus F] [--bitrate KBITS|unlimited] "
                         "[--wire-latency 1] [--eeprom-saves MIB] [--sim PATH]\n",
                         argv[0]);
            return 2;
        }
    }
    if (s.seconds < 1 || s.apps < 2 || s.apps > kMaxApps || s.framesPerBus < 1) {
        std::fprintf(stderr, "customapp_fullload: --seconds >= 1, --apps 2 to %d, --frames-per-bus >= 1\n", kMaxApps);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    char folder[] = "/tmp/customapp-fullload.XXXXXX";
    if (!::mkdtemp(folder)) Fail("mkdtemp");
    const std::string dir = folder;
    const std::string endpoint = dir + "/endpoint", control = dir + "/control", data = dir + "/data";
    if (s.wireLatency) s.log = dir + "/bus.log";

    std::vector<std::string> simArgs = {"--endpoint", endpoint, "--data", data, "--control", control,
                                        "--bitrate", s.bitrate, "--no-prompt", "--quiet", "--eeprom-size",
                                        std::to_string(s.eepromMiB > 0 ? s.eepromMiB * 1048576 : 4096)};
    if (s.wireLatency) {
        simArgs.push_back("--log");
        simArgs.push_back(s.log);
    }
    const pid_t sim = bench::StartSimulator(s.sim, simArgs, control);
    if (sim < 0) Fail("the simulator did not start");
    ::setenv(PlatformServices::kEndpointEnvVar, endpoint.c_str(), 1);

    std::vector<bench::AppProcess> apps;
    // With --eeprom-saves the last process is the saver.
    bool ok = bench::StartApplications(
        s.apps + (s.eepromMiB > 0 ? 1 : 0),
        [&](int i, int in, int out) {
            if (i == s.apps) Saver(s, in, out);
            Application(i, s, in, out);
        },
        &apps);
    if (!ok) Fail("an application did not start");
    bench::AppProcess saver{-1, -1, -1};
    if (s.eepromMiB > 0) {
        saver = apps.back();
        apps.pop_back();
    }

    const std::int64_t startUs = NowUs() + 200'000;
    for (const bench::AppProcess& a : apps) WriteAll(a.in, &startUs, sizeof startUs);
    if (saver.pid > 0) WriteAll(saver.in, &startUs, sizeof startUs);
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::microseconds(startUs)));
    const double cpuStart = CpuSeconds(sim);
    const long rssStart = ResidentKb(sim);
    const int fdsStart = Descriptors(sim);
    long rssMax = rssStart;

    std::uint32_t totals[kMaxApps][kBuses] = {};
    std::uint64_t sequencedSent = 0;
    std::string busLoad;
    double windowS = 0, cpuEnd = 0;
    long rssEnd = 0;
    int fdsEnd = 0;
    const int waitMs = s.seconds * 1000 + 60'000;
    for (int i = 0; i < s.apps; ++i) {
        // Sample the simulator's memory while the applications send.
        while (i == 0) {
            pollfd p{apps[0].out, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 0) break;
            rssMax = std::max(rssMax, ResidentKb(sim));
        }
        if (!ReadAll(apps[i].out, totals[i], sizeof totals[i], waitMs)) Fail("an application did not finish");
        if (i == 0) {
            // The first sender is done, the others within a tick: the end of
            // the window, measured before the query adds a connection.
            windowS = double(NowUs() - startUs) / 1e6;
            cpuEnd = CpuSeconds(sim);
            rssEnd = ResidentKb(sim);
            fdsEnd = Descriptors(sim);
            busLoad = BusLoadLines(control);
        }
        for (int bus = 0; bus < kBuses; ++bus) sequencedSent += totals[i][bus];
    }
    for (const bench::AppProcess& a : apps) WriteAll(a.in, totals, sizeof totals);
    std::uint32_t saves = 0;
    if (saver.pid > 0) {
        int status = 0;
        if (!ReadAll(saver.out, &saves, sizeof saves, waitMs) || ::waitpid(saver.pid, &status, 0) != saver.pid ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ok = false;
    }

    std::vector<std::uint64_t> histogram(kBuckets, 0);
    std::vector<std::uint64_t> beyond(kBuckets, 0);
    Result total;
    std::uint64_t samples = 0, beyondSamples = 0;
    static Result one;
    for (int i = 0; i < s.apps; ++i) {
        if (!ReadAll(apps[i].out, &one, sizeof one, 60'000)) Fail("an application did not report");
        total.sequenced += one.sequenced;
        total.lost += one.lost;
        total.disordered += one.disordered;
        total.cyclic += one.cyclic;
        total.unexpected += one.unexpected;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            histogram[b] += one.latency[b];
            samples += one.latency[b];
            beyond[b] += one.beyondWire[b];
            beyondSamples += one.beyondWire[b];
        }
    }
    if (!bench::AwaitApplications(apps)) ok = false;
    ::kill(sim, SIGTERM);
    ::waitpid(sim, nullptr, 0);
    std::system(("rm -rf '" + dir + "'").c_str());

    const std::uint64_t expected = sequencedSent * static_cast<std::uint64_t>(s.apps - 1);
    // Every cyclic frame reaches the other applications; one in (apps - 1)
    // deliveries is a frame on the bus.
    const double cyclicOnBus = double(total.cyclic) / (s.apps - 1);
    const double busFrames = double(sequencedSent) + cyclicOnBus;
    const double deliveries = double(total.sequenced + total.cyclic);
    const double cpu = cpuEnd - cpuStart;
    std::printf("full load: %d applications on %d buses, %d s\n", s.apps, kBuses, s.seconds);
    std::printf("frames on the buses: %.0f per s (%.0f per bus; sequenced %" PRIu64 ", cyclic %.0f)\n",
                busFrames / windowS, busFrames / windowS / kBuses, sequencedSent, cyclicOnBus);
    std::printf("deliveries to applications: %.0f per s\n", deliveries / windowS);
    std::printf("sequenced deliveries: %" PRIu64 " of %" PRIu64 " expected; lost %" PRIu64 ", out of order or twice %" PRIu64
                ", unknown frames %" PRIu64 "\n",
                total.sequenced, expected, total.lost, total.disordered, total.unexpected);
    std::printf("cyclic deliveries in the window: %" PRIu64 " (nominal %.0f)\n", total.cyclic,
                double(kCyclicFramesPerSecond) * kBuses * s.apps * (s.apps - 1) * s.seconds);
    std::printf("simulator CPU: %.3f s per s (%.1f %% of one core), %.2f us per frame on the buses, %.3f us per delivery\n",
                cpu / windowS, 100.0 * cpu / windowS, 1e6 * cpu / busFrames, 1e6 * cpu / deliveries);
    std::printf("latency, send to callback: median %.0f us, p99 %.0f us, p99.9 %.0f us, max %.0f us%s\n",
                Percentile(histogram, samples, 0.5), Percentile(histogram, samples, 0.99),
                Percentile(histogram, samples, 0.999), Percentile(histogram, samples, 1.0),
                histogram[kBuckets - 1] ? " (100 ms or more)" : "");
    if (s.wireLatency)
        std::printf("latency beyond the wire, end on the bus to callback (%" PRIu64
                    " deliveries): median %.0f us, p99 %.0f us, p99.9 %.0f us, max %.0f us\n",
                    beyondSamples, Percentile(beyond, beyondSamples, 0.5), Percentile(beyond, beyondSamples, 0.99),
                    Percentile(beyond, beyondSamples, 0.999), Percentile(beyond, beyondSamples, 1.0));
    std::printf("simulator resident memory: %ld kB at start, %ld kB at end, %ld kB at most; descriptors %d / %d\n",
                rssStart, rssEnd, rssMax, fdsStart, fdsEnd);
    if (saver.pid > 0)
        std::printf("EEPROM saves of %d MiB meanwhile: %u (%.1f per s)\n", s.eepromMiB, saves, saves / windowS);
    std::printf("bus load as the simulator reports it (--bitrate %s):\n%s", s.bitrate.c_str(), busLoad.c_str());
    const bool complete = ok && total.lost == 0 && total.disordered == 0 && total.sequenced == expected;
    std::printf("every frame delivered once and in order: %s\n", complete ? "yes" : "NO");
    return complete ? 0 : 1;
}
