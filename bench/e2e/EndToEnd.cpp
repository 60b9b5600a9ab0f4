// End-to-end figures of the library, measured in one run on one machine:
//   - the transport's ceiling: a plain reader taking a stream of CAN frame
//     messages over a Unix-domain stream socket (written in large writes, and
//     for comparison one write per message);
//   - the same stream from a platform-side writer through the library to a
//     CAN callback: frames per second, ratio to the ceiling, and allocations
//     per frame on the listener thread once warm;
//   - latency from the platform's write to the callback;
//   - cyclic transmission accuracy, measured by the platform with real time,
//     and the CPU time of an application with 100 cyclic rows on five buses;
//   - wake-ups per second of an idle application.
// Every application runs in its own process (Init succeeds once per process);
// this process plays the platform.
//
//   customapp_e2e [--frames N] [--cyclic-seconds S] [--idle-seconds S] [--repeats R]
//                 [--throughput-only 0|1] [--cyclic-only 0|1] [--realtime P] [--cyclictest 0|1]
//
// --realtime P runs the cyclic application's library threads
// (SetRealTimePriority) and the platform's reading thread under SCHED_FIFO
// at P; --cyclictest 1 runs cyclictest beside the cyclic rows, for as long
// and under the same policy, and sets the machine's wake-up latency next to
// each period's figures.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "Cyclictest.h"
#include "IPCServer.h"
#include "QRVMessage.h"
#include "can/CANIPC.h"

using CustomApplication::TarvexInterface;
using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::FrameType;
using CustomApplication::CANTypes::Standard;
using CustomApplication::CoreTypes::CANBus;
using PlatformServices::IPCServer;
using PlatformServices::QRVMessage;
namespace CANIPC = PlatformServices::CANIPC;

// ---- allocation counter: every operator new of this thread is counted ----

namespace {
thread_local std::uint64_t tAllocations = 0;
}

void* operator new(std::size_t size) {
    ++tAllocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++tAllocations;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr std::int32_t kAppAddress = 100;
constexpr std::uint32_t kRxIdentifier = 0x123;
constexpr std::size_t kWriteChunk = 64 * 1024;

std::int64_t NowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// CPU time of the calling thread.
std::int64_t ThreadCpuNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void SleepNs(std::int64_t ns) {
    timespec t{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "customapp_e2e: %s (%s)\n", what, std::strerror(errno));
    std::exit(2);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// One received-frame envelope as the platform sends it.
std::vector<std::uint8_t> FrameBytes(std::uint32_t identifier, std::uint64_t stamp) {
    CANIPC::Message record{};
    record.Identifier = identifier;
    record.Extended = 0;
    record.Bus = 0;
    record.Length = 8;
    std::memcpy(record.Data, &stamp, sizeof stamp);
    QRVMessage envelope(QRVMessage::kTypeEnvelope, CANIPC::kCategory, kAppAddress);
    envelope.SetSourceAddress(CANIPC::kAddress);
    envelope.NewChildMessage(QRVMessage::kTypeChild)->Build(CANIPC::kReceivedFrame, sizeof record, &record, false);
    std::vector<std::uint8_t> bytes;
    envelope.Serialize(bytes);
    return bytes;
}

std::vector<std::uint8_t> Stream(std::size_t frames) {
    const std::vector<std::uint8_t> one = FrameBytes(kRxIdentifier, 0);
    std::vector<std::uint8_t> all;
    all.reserve(one.size() * frames);
    for (std::size_t i = 0; i < frames; ++i) all.insert(all.end(), one.begin(), one.end());
    return all;
}

void WriteAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("send");
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

// A child process reporting one fixed-size record through a pipe.
template <typename Result>
struct Child {
    pid_t pid = -1;
    int fd = -1;

    template <typename Body>
    static Child Start(Body body) {
        int p[2];
        if (::pipe(p) != 0) Fail("pipe");
        std::fflush(nullptr);
        Child child;
        child.pid = ::fork();
        if (child.pid < 0) Fail("fork");
        if (child.pid == 0) {
            ::close(p[0]);
            Result result{};
            body(result);
            const char* at = reinterpret_cast<const char*>(&result);
            std::size_t left = sizeof result;
            while (left > 0) {
                const ssize_t n = ::write(p[1], at, left);
                if (n <= 0) _exit(3);
                at += n;
                left -= static_cast<std::size_t>(n);
            }
            _exit(0);
        }
        ::close(p[1]);
        child.fd = p[0];
        return child;
    }

    // Waits (at most `timeoutMs`) for the record; false when it did not come.
    bool Wait(Result* result, int timeoutMs) {
        char* at = reinterpret_cast<char*>(result);
        std::size_t left = sizeof *result;
        const std::int64_t deadline = NowNs() + std::int64_t{timeoutMs} * 1'000'000;
        while (left > 0) {
            pollfd p{fd, POLLIN, 0};
            const int wait = static_cast<int>(std::max<std::int64_t>(0, (deadline - NowNs()) / 1'000'000));
            if (::poll(&p, 1, wait) <= 0) break;
            const ssize_t n = ::read(fd, at, left);
            if (n <= 0) break;
            at += n;
            left -= static_cast<std::size_t>(n);
        }
        ::close(fd);
        if (left > 0) ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (left > 0) {
            std::fprintf(stderr, "customapp_e2e: application process %s %d before its report\n",
                         WIFSIGNALED(status) ? "died of signal" : "exited with", WIFSIGNALED(status)
                                                                                    ? WTERMSIG(status)
                                                                                    : WEXITSTATUS(status));
        }
        return left == 0;
    }
};

// ---- the transport's ceiling ----

struct ReaderResult {
    std::uint64_t bytes;
    std::int64_t cpuNs;  // the reader's CPU time for the whole stream
};

// ---- the platform: a server that tells when the application is ready ----

struct Platform {
    IPCServer server{1};
    std::string dir;
    std::string path;
    std::mutex lock;
    std::condition_variable changed;
    int subscriptions = 0;  // CAN subscriptions received
    // Send times of cyclic frames: key bus << 32 | identifier.
    std::map<std::uint64_t, std::vector<std::int64_t>> sent;
    bool recordSends = false;
    // The application writes a byte here once CANInit has returned: frames
    // that arrive after its subscription but before its tables are in place
    // would find no row.
    int ready[2] = {-1, -1};

    Platform() {
        if (::pipe(ready) != 0) Fail("pipe");
        char folder[] = "/tmp/customapp-e2e-XXXXXX";
        if (::mkdtemp(folder) == nullptr) Fail("mkdtemp");
        dir = folder;
        path = dir + "/platform.sock";
        server.SetMessageHandler([this](std::int32_t, std::unique_ptr<QRVMessage> message) {
            const std::int64_t now = NowNs();
            if (message->GetCommand() != CANIPC::kCategory || !message->ParseChildMessages()) return;
            std::lock_guard<std::mutex> guard(lock);
            for (const auto& child : message->GetChildMessages()) {
                if (child->GetCommand() == CANIPC::kAddSubscription) {
                    ++subscriptions;
                    changed.notify_all();
                } else if (child->GetCommand() == CANIPC::kSendFrame && recordSends &&
                           child->GetLength() == sizeof(CANIPC::Message)) {
                    CANIPC::Message record;
                    std::memcpy(&record, child->GetData(), sizeof record);
                    sent[(std::uint64_t{record.Bus} << 32) | record.Identifier].push_back(now);
                }
            }
        });
        if (server.Start(path) != 0) Fail("platform server");
        ::setenv(PlatformServices::kEndpointEnvVar, path.c_str(), 1);
    }
    ~Platform() {
        server.Stop();
        ::rmdir(dir.c_str());
        ::close(ready[0]);
        ::close(ready[1]);
    }

    // In the application: tells the platform that it is ready for frames.
    void SignalReady() {
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1) _exit(4);
    }
    // Waits (bounded) for SignalReady.
    bool AwaitReady() {
        pollfd p{ready[0], POLLIN, 0};
        char byte = 0;
        return ::poll(&p, 1, 20'000) == 1 && ::read(ready[0], &byte, 1) == 1;
    }

    // Waits until the application is registered and has subscribed `count` times in all.
    bool AwaitSubscriptions(int count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(20), [&] { return subscriptions >= count; });
    }
};

// ---- the application side ----

struct Receiver {
    std::uint64_t expected = 0;
    std::uint64_t warmAt = 0;  // frame count from which allocations are counted
    std::atomic<std::uint64_t> received{0};
    std::uint64_t allocationsAtWarm = 0;
    std::uint64_t allocationsAtEnd = 0;
    std::int64_t cpuAtWarm = 0;  // listener thread CPU time at the warm mark
    std::int64_t cpuAtEnd = 0;
    std::vector<double> latencyUs;  // reserved before the first frame
    bool measureLatency = false;
    std::mutex lock;
    std::condition_variable done;
};

void OnFrame(void* context, CANBus, unsigned int, FrameType, const unsigned char* data, unsigned char) {
    auto* r = static_cast<Receiver*>(context);
    const std::uint64_t n = r->received.load(std::memory_order_relaxed) + 1;
    if (r->measureLatency) {
        std::uint64_t stamp;
        std::memcpy(&stamp, data, sizeof stamp);
        r->latencyUs.push_back(static_cast<double>(NowNs() - static_cast<std::int64_t>(stamp)) / 1000.0);
    }
    if (n == r->warmAt) {
        r->allocationsAtWarm = tAllocations;
        r->cpuAtWarm = ThreadCpuNs();
    }
    if (n == r->expected) {
        r->allocationsAtEnd = tAllocations;
        r->cpuAtEnd = ThreadCpuNs();
        std::lock_guard<std::mutex> guard(r->lock);
        r->received.store(n, std::memory_order_release);
        r->done.notify_all();
        return;
    }
    r->received.store(n, std::memory_order_relaxed);
}

// Initialises the library in this (child) process with one receive row on
// bus 0 delivering to `receiver`. False on failure.
bool StartReceiver(TarvexInterface& sdk, Receiver& receiver) {
    static CustomApplication::CoreTypes::ServiceProviders host{};
    const std::int32_t initialised = sdk.Init(kAppAddress, &host, 0);
    if (initialised != 0) {
        std::fprintf(stderr, "customapp_e2e: Init returned %d\n", initialised);
        return false;
    }
    CANReceiveTableEntry row{kRxIdentifier, 0x7FF, Standard, &OnFrame, &receiver};
    CANTransmitTableEntry none[1] = {};
    const std::int32_t uid = sdk.CANInit(CANBus(0), &row, 1, none, 0);
    if (uid <= 0) std::fprintf(stderr, "customapp_e2e: CANInit returned %d\n", uid);
    return uid > 0;
}

bool AwaitReceiver(Receiver& receiver, int seconds) {
    std::unique_lock<std::mutex> guard(receiver.lock);
    return receiver.done.wait_for(guard, std::chrono::seconds(seconds), [&] {
        return receiver.received.load(std::memory_order_acquire) >= receiver.expected;
    });
}

struct ThroughputResult {
    int ok;
    std::uint64_t received;
    std::uint64_t allocations;  // on the listener thread, warm part of the run
    std::uint64_t counted;      // frames in that part
    std::int64_t cpuNs;         // listener thread CPU time over that part
};

struct LatencyResult {
    int ok;
    double medianUs;
    double p99Us;
    double maxUs;
};

struct LoadResult {
    int ok;
    int priorityResult;  // what SetRealTimePriority returned, when asked
    double cpuPerSecond;      // CPU seconds per second of the application process
    double wakeupsPerSecond;  // voluntary context switches of the library's threads
    double involuntaryPerSecond;
};

// Voluntary and involuntary context switches of every thread but the calling one.
void ContextSwitches(std::uint64_t* voluntary, std::uint64_t* involuntary) {
    *voluntary = *involuntary = 0;
    const std::string self = std::to_string(::gettid());
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return;
    while (dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.' || self == entry->d_name) continue;
        std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            unsigned long long value = 0;
            if (std::sscanf(line.c_str(), "voluntary_ctxt_switches: %llu", &value) == 1) *voluntary += value;
            if (std::sscanf(line.c_str(), "nonvoluntary_ctxt_switches: %llu", &value) == 1) *involuntary += value;
        }
    }
    ::closedir(tasks);
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Measures the application's CPU time and its threads' wake-ups over `seconds`.
void MeasureLoad(LoadResult& result, double seconds) {
    std::uint64_t v0, i0, v1, i1;
    ContextSwitches(&v0, &i0);
    const double cpu0 = CpuSeconds();
    const std::int64_t t0 = NowNs();
    SleepNs(static_cast<std::int64_t>(seconds * 1e9));
    const double elapsed = static_cast<double>(NowNs() - t0) / 1e9;
    const double cpu1 = CpuSeconds();
    ContextSwitches(&v1, &i1);
    result.cpuPerSecond = (cpu1 - cpu0) / elapsed;
    result.wakeupsPerSecond = static_cast<double>(v1 - v0) / elapsed;
    result.involuntaryPerSecond = static_cast<double>(i1 - i0) / elapsed;
}

struct Options {
    std::size_t frames = 2'000'000;
    std::size_t singleFrames = 300'000;
    std::size_t latencyFrames = 5'000;
    double cyclicSeconds = 8;
    double idleSeconds = 3;
    int repeats = 3;
    bool throughputOnly = false;
    bool cyclicOnly = false;
    int realtime = 0;  // SCHED_FIFO priority of the cyclic run, 0: the ordinary policy
    bool cyclictest = false;
};

// Bytes per second of a plain reader taking `stream` over a Unix-domain
// stream socket from another process, written in writes of `chunk` bytes.
double CeilingRate(const std::vector<std::uint8_t>& stream, std::size_t chunk, std::int64_t* readerCpuNs = nullptr) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) Fail("socketpair");
    const std::uint64_t expected = stream.size();
    auto reader = Child<ReaderResult>::Start([&](ReaderResult& result) {
        ::close(sv[0]);
        std::vector<std::uint8_t> buffer(kWriteChunk);
        const std::int64_t cpu0 = ThreadCpuNs();
        while (result.bytes < expected) {
            const ssize_t n = ::recv(sv[1], buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            result.bytes += static_cast<std::uint64_t>(n);
        }
        result.cpuNs = ThreadCpuNs() - cpu0;
    });
    ::close(sv[1]);
    const std::int64_t start = NowNs();
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        WriteAll(sv[0], stream.data() + at, std::min(chunk, stream.size() - at));
    }
    ReaderResult result{};
    const bool ok = reader.Wait(&result, 60'000);
    const std::int64_t end = NowNs();
    ::close(sv[0]);
    if (!ok || result.bytes != expected) Fail("plain reader did not get the stream");
    if (readerCpuNs != nullptr) *readerCpuNs = result.cpuNs;
    return static_cast<double>(stream.size()) / static_cast<double>(end - start) * 1e9;  // bytes/s
}

// Frames per second through the library; fills the allocation figures.
double Throughput(const std::vector<std::uint8_t>& stream, std::size_t frames, ThroughputResult* out) {
    Platform platform;
    auto app = Child<ThroughputResult>::Start([&](ThroughputResult& result) {
        auto* receiver = new Receiver;
        receiver->expected = frames;
        receiver->warmAt = frames / 10;
        TarvexInterface sdk;
        if (!StartReceiver(sdk, *receiver)) return;
        platform.SignalReady();
        result.ok = AwaitReceiver(*receiver, 120) ? 1 : 0;
        result.received = receiver->received.load();
        if (result.ok != 1) {
            std::fprintf(stderr, "customapp_e2e: %llu of %zu frames arrived\n",
                         static_cast<unsigned long long>(result.received), frames);
        }
        result.allocations = receiver->allocationsAtEnd - receiver->allocationsAtWarm;
        result.counted = frames - receiver->warmAt;
        result.cpuNs = receiver->cpuAtEnd - receiver->cpuAtWarm;
        sdk.Shutdown();
    });
    if (!platform.AwaitSubscriptions(1) || !platform.AwaitReady()) Fail("application did not get ready");
    const std::int64_t start = NowNs();
    for (std::size_t at = 0; at < stream.size(); at += kWriteChunk) {
        const std::size_t n = std::min(kWriteChunk, stream.size() - at);
        if (platform.server.WriteRaw(kAppAddress, stream.data() + at, n) != 0) Fail("platform write");
    }
    const bool ok = app.Wait(out, 120'000);
    const std::int64_t end = NowNs();
    if (!ok || out->ok != 1) Fail("throughput run failed");
    return static_cast<double>(frames) / static_cast<double>(end - start) * 1e9;
}

LatencyResult Latency(std::size_t frames) {
    Platform platform;
    auto app = Child<LatencyResult>::Start([&](LatencyResult& result) {
        auto* receiver = new Receiver;
        receiver->expected = frames;
        receiver->warmAt = 1;
        receiver->measureLatency = true;
        receiver->latencyUs.reserve(frames);
        TarvexInterface sdk;
        if (!StartReceiver(sdk, *receiver)) return;
        platform.SignalReady();
        result.ok = AwaitReceiver(*receiver, 60) ? 1 : 0;
        sdk.Shutdown();
        result.medianUs = Percentile(receiver->latencyUs, 0.5);
        result.p99Us = Percentile(receiver->latencyUs, 0.99);
        result.maxUs = Percentile(receiver->latencyUs, 1.0);
    });
    if (!platform.AwaitSubscriptions(1) || !platform.AwaitReady()) Fail("application did not get ready");
    for (std::size_t i = 0; i < frames; ++i) {
        // Stamped just before the write; one frame every 200 us.
        const std::vector<std::uint8_t> bytes = FrameBytes(kRxIdentifier, static_cast<std::uint64_t>(NowNs()));
        if (platform.server.WriteRaw(kAppAddress, bytes.data(), bytes.size()) != 0) Fail("platform write");
        SleepNs(200'000);
    }
    LatencyResult result{};
    if (!app.Wait(&result, 60'000) || result.ok != 1) Fail("latency run failed");
    return result;
}

constexpr std::int64_t kPeriods[] = {10, 20, 50, 100, 1000};
constexpr int kBuses = 5;
constexpr int kRowsPerBus = 20;

// Puts the calling thread under SCHED_FIFO at `priority`, or under the
// ordinary policy with 0. Whether the system allowed it.
bool ScheduleThisThread(int priority) {
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), priority > 0 ? SCHED_FIFO : SCHED_OTHER, &param) == 0;
}

// 100 cyclic rows on five buses; the platform times every frame they send.
// At a real-time `priority`, the application's library threads and the
// platform's reading thread (which takes the times) run at it. With
// `machine`, cyclictest runs beside the rows under the same policy.
// How far apart the frames of one service pass arrive: the send times of
// the whole run in order, cut where two are more than 0.5 ms apart (the
// passes are at least 1 ms apart); per group of two or more frames, the
// last one's time minus the first one's, in ms.
std::vector<double> PassSpreadsMs(const std::map<std::uint64_t, std::vector<std::int64_t>>& sent) {
    std::vector<std::int64_t> all;
    for (const auto& each : sent) all.insert(all.end(), each.second.begin(), each.second.end());
    std::sort(all.begin(), all.end());
    std::vector<double> spreads;
    for (std::size_t first = 0, i = 1; i <= all.size(); ++i) {
        if (i < all.size() && all[i] - all[i - 1] <= 500'000) continue;
        if (i - first >= 2) spreads.push_back(static_cast<double>(all[i - 1] - all[first]) / 1e6);
        first = i;
    }
    return spreads;
}

// How late each frame of a row with `periodNs` arrived after its due time,
// in ms, appended to `lateMs`. The library's due times are whole
// milliseconds of CLOCK_MONOTONIC, a period apart while the row keeps its
// phase; where an interval is off by more than half a period the row
// started afresh and a new phase begins. A phase's first due time is the
// millisecond below its earliest arrival less the periods since.
void AddLateness(const std::vector<std::int64_t>& times, std::int64_t periodNs, std::vector<double>* lateMs) {
    std::size_t first = 0;
    for (std::size_t i = 1; i <= times.size(); ++i) {
        if (i < times.size() && std::llabs(times[i] - times[i - 1] - periodNs) <= periodNs / 2) continue;
        std::int64_t base = std::numeric_limits<std::int64_t>::max();
        for (std::size_t j = first; j < i; ++j) {
            base = std::min(base, times[j] - static_cast<std::int64_t>(j - first) * periodNs);
        }
        const std::int64_t due = base / 1'000'000 * 1'000'000;
        for (std::size_t j = first; j < i; ++j) {
            lateMs->push_back(static_cast<double>(times[j] - due - static_cast<std::int64_t>(j - first) * periodNs) /
                              1e6);
        }
        first = i;
    }
}

LoadResult Cyclic(double seconds, int priority, std::map<std::int64_t, std::vector<double>>* deviationsMs,
                  bench::WakeLatency* machine, std::vector<double>* passSpreadsMs,
                  std::map<std::int64_t, std::vector<double>>* lateMs) {
    // The platform's I/O thread takes this thread's policy when it is made.
    if (priority > 0 && !ScheduleThisThread(priority)) {
        LoadResult refused{};
        refused.priorityResult = -1;
        return refused;
    }
    Platform platform;
    if (priority > 0 && !ScheduleThisThread(0)) Fail("back to the ordinary policy");
    const double warmSeconds = 1.0;
    auto app = Child<LoadResult>::Start([&](LoadResult& result) {
        static CustomApplication::CoreTypes::ServiceProviders host{};
        TarvexInterface sdk;
        if (sdk.Init(kAppAddress, &host, 0) != 0) return;
        if (priority > 0) {
            result.priorityResult = sdk.SetRealTimePriority(priority);
            if (result.priorityResult != 0) return;
        }
        static unsigned char payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        for (int bus = 0; bus < kBuses; ++bus) {
            CANTransmitTableEntry rows[kRowsPerBus];
            for (int k = 0; k < kRowsPerBus; ++k) {
                rows[k] = {payload, 8, static_cast<std::uint32_t>(0x100 + k), Standard,
                           kPeriods[k % std::size(kPeriods)]};
            }
            CANReceiveTableEntry none[1] = {};
            if (sdk.CANInit(CANBus(bus), none, 0, rows, kRowsPerBus) <= 0) return;
        }
        SleepNs(static_cast<std::int64_t>(warmSeconds * 1e9));
        MeasureLoad(result, seconds - warmSeconds);
        result.ok = 1;
        sdk.Shutdown();
    });
    // Intervals are counted from the warm-up's end on.
    SleepNs(static_cast<std::int64_t>(warmSeconds * 1e9));
    {
        std::lock_guard<std::mutex> guard(platform.lock);
        platform.sent.clear();
        platform.recordSends = true;
    }
    // As long as the rows are timed; waking as often as the shortest period.
    std::unique_ptr<bench::Cyclictest> cyclictest;
    if (machine != nullptr) {
        const int span = std::max(1, static_cast<int>(seconds - warmSeconds + 0.5));
        cyclictest = std::make_unique<bench::Cyclictest>(span, static_cast<int>(kPeriods[0]) * 1000, priority);
    }
    LoadResult result{};
    if (!app.Wait(&result, static_cast<int>(seconds * 1000) + 30'000)) Fail("cyclic run failed");
    if (result.priorityResult != 0) return result;
    if (result.ok != 1) Fail("cyclic run failed");
    if (cyclictest) *machine = cyclictest->Finish(10'000);
    std::lock_guard<std::mutex> guard(platform.lock);
    platform.recordSends = false;
    *passSpreadsMs = PassSpreadsMs(platform.sent);
    for (const auto& [key, times] : platform.sent) {
        const std::uint32_t identifier = static_cast<std::uint32_t>(key & 0xFFFFFFFF);
        const std::int64_t period = kPeriods[(identifier - 0x100) % std::size(kPeriods)];
        AddLateness(times, period * 1'000'000, &(*lateMs)[period]);
        for (std::size_t i = 1; i < times.size(); ++i) {
            (*deviationsMs)[period].push_back(static_cast<double>(times[i] - times[i - 1]) / 1e6 -
                                              static_cast<double>(period));
        }
    }
    return result;
}

LoadResult Idle(double seconds) {
    Platform platform;
    auto app = Child<LoadResult>::Start([&](LoadResult& result) {
        Receiver receiver;
        receiver.expected = 1;
        TarvexInterface sdk;
        if (!StartReceiver(sdk, receiver)) return;
        SleepNs(500'000'000);
        MeasureLoad(result, seconds);
        result.ok = 1;
        sdk.Shutdown();
    });
    LoadResult result{};
    if (!app.Wait(&result, static_cast<int>(seconds * 1000) + 30'000) || result.ok != 1) Fail("idle run failed");
    return result;
}

// The transport's ceiling and the library's throughput, taking turns.
void Throughputs(const Options& options) {
    const std::size_t frameBytes = FrameBytes(kRxIdentifier, 0).size();
    const std::vector<std::uint8_t> stream = Stream(options.frames);
    std::printf("frame: %zu bytes on the wire (CAN record in one envelope); stream of %zu frames\n", frameBytes,
                options.frames);

    // The ceiling and the library take turns, so that both see the same load
    // on this machine; the medians are compared.
    std::vector<double> ceilings, rates, readerCpu, listenerCpu;
    ThroughputResult throughput{};
    for (int run = 0; run < options.repeats; ++run) {
        std::int64_t readerNs = 0;
        ceilings.push_back(CeilingRate(stream, kWriteChunk, &readerNs) / static_cast<double>(frameBytes));
        readerCpu.push_back(static_cast<double>(readerNs) / static_cast<double>(options.frames));
        rates.push_back(Throughput(stream, options.frames, &throughput));
        listenerCpu.push_back(static_cast<double>(throughput.cpuNs) / static_cast<double>(throughput.counted));
        std::printf("  run %d: ceiling %.0f frames/s, end to end %.0f frames/s (%.3f)\n", run + 1, ceilings.back(),
                    rates.back(), rates.back() / ceilings.back());
    }
    const double ceiling = Percentile(ceilings, 0.5);
    const double rate = Percentile(rates, 0.5);
    std::printf("transport ceiling, plain reader, 64 KiB writes:  %12.0f frames/s (median of %d)\n", ceiling,
                options.repeats);
    const std::vector<std::uint8_t> fewer(stream.begin(),
                                          stream.begin() + static_cast<std::ptrdiff_t>(
                                                               std::min(options.singleFrames, options.frames) *
                                                               frameBytes));
    const double single = CeilingRate(fewer, frameBytes) / static_cast<double>(frameBytes);
    std::printf("transport, plain reader, one write per message:  %12.0f frames/s\n", single);
    std::printf("end to end, platform writer to CAN callback:     %12.0f frames/s (median of %d), %.3f of the "
                "ceiling\n",
                rate, options.repeats, rate / ceiling);
    std::printf("listener-thread allocations once warm (last run): %11.4f per frame (%llu over %llu frames)\n",
                static_cast<double>(throughput.allocations) / static_cast<double>(throughput.counted),
                static_cast<unsigned long long>(throughput.allocations),
                static_cast<unsigned long long>(throughput.counted));
    // CPU time per frame hardly depends on the other load of the machine:
    // the steadier comparison of the two readers.
    const double readerNs = Percentile(readerCpu, 0.5);
    const double listenerNs = Percentile(listenerCpu, 0.5);
    std::printf("CPU per frame, plain reader thread:              %12.1f ns (median of %d)\n", readerNs,
                options.repeats);
    std::printf("CPU per frame, library listener thread:          %12.1f ns (median of %d), %.3f of the reader's "
                "rate\n",
                listenerNs, options.repeats, readerNs / listenerNs);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (name == "--frames" && value >= 1000) {
            options.frames = static_cast<std::size_t>(value);
        } else if (name == "--cyclic-seconds" && value >= 3) {
            options.cyclicSeconds = value;
        } else if (name == "--idle-seconds" && value >= 1) {
            options.idleSeconds = value;
        } else if (name == "--repeats" && value >= 1 && value <= 50) {
            options.repeats = static_cast<int>(value);
        } else if (name == "--throughput-only" && (value == 0 || value == 1)) {
            options.throughputOnly = value == 1;
        } else if (name == "--cyclic-only" && (value == 0 || value == 1)) {
            options.cyclicOnly = value == 1;
        } else if (name == "--realtime" && value >= 0 && value <= 99) {
            options.realtime = static_cast<int>(value);
        } else if (name == "--cyclictest" && (value == 0 || value == 1)) {
            options.cyclictest = value == 1;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--frames N>=1000] [--cyclic-seconds S>=3] [--idle-seconds S>=1] [--repeats 1..50] "
                         "[--throughput-only 0|1] [--cyclic-only 0|1] [--realtime 0..99] [--cyclictest 0|1]\n",
                         argv[0]);
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);

    if (!options.cyclicOnly) {
        Throughputs(options);
        if (options.throughputOnly) return 0;
        const LatencyResult latency = Latency(options.latencyFrames);
        std::printf("latency, platform write to callback (%zu frames): median %.1f us, p99 %.1f us, max %.1f us\n",
                    options.latencyFrames, latency.medianUs, latency.p99Us, latency.maxUs);
    }

    std::map<std::int64_t, std::vector<double>> deviations;
    std::vector<double> spreads;
    std::map<std::int64_t, std::vector<double>> late;
    bench::WakeLatency machine;
    const LoadResult cyclic =
        Cyclic(options.cyclicSeconds, options.realtime, &deviations, options.cyclictest ? &machine : nullptr,
               &spreads, &late);
    const std::string policy =
        options.realtime > 0 ? "SCHED_FIFO " + std::to_string(options.realtime) : std::string("SCHED_OTHER");
    if (cyclic.priorityResult != 0) {
        std::printf("cyclic rows at %s: skipped, the process may not use that priority (SetRealTimePriority %d; "
                    "it needs CAP_SYS_NICE or ulimit -r %d)\n",
                    policy.c_str(), cyclic.priorityResult, options.realtime);
        return options.cyclicOnly ? 3 : 0;
    }
    std::printf("cyclic rows, 100 on five buses, %.0f s, library threads %s; interval minus period, measured by "
                "the platform:\n",
                options.cyclicSeconds, policy.c_str());
    if (options.cyclictest) {
        if (machine.ok) {
            std::printf("  machine wake-up latency (cyclictest, %s, every %lld ms, %llu wake-ups): p50 %.3f ms, "
                        "p99 %.3f ms, max %.3f ms\n",
                        policy.c_str(), static_cast<long long>(kPeriods[0]),
                        static_cast<unsigned long long>(machine.samples), machine.p50Ms, machine.p99Ms,
                        machine.maxMs);
        } else {
            std::printf("  machine wake-up latency: none (%s)\n", machine.error.c_str());
        }
    }
    bool goalMet = machine.ok;
    for (const std::int64_t period : kPeriods) {
        const auto& d = deviations[period];
        std::vector<double> magnitude(d.size());
        std::transform(d.begin(), d.end(), magnitude.begin(), [](double x) { return x < 0 ? -x : x; });
        const double p50 = Percentile(magnitude, 0.5);
        const double p99 = Percentile(magnitude, 0.99);
        std::printf("  %4lld ms: %6zu intervals; deviation median %+.3f ms, 1st/99th percentile %+.3f/%+.3f ms; "
                    "|deviation| median %.3f ms, p99 %.3f ms, max %.3f ms",
                    static_cast<long long>(period), d.size(), Percentile(d, 0.5), Percentile(d, 0.01),
                    Percentile(d, 0.99), p50, p99, Percentile(magnitude, 1.0));
        if (machine.ok) {
            // The goal: p99 within the machine's p99 wake-up latency plus
            // 0.2 ms, median within 0.1 ms.
            const bool tailMet = p99 <= machine.p99Ms + 0.2;
            const bool medianMet = p50 <= 0.1;
            goalMet = goalMet && tailMet && medianMet;
            std::printf("; p99 - machine p99 %+.3f ms (goal +0.2): %s, median (goal 0.1): %s",
                        p99 - machine.p99Ms, tailMet ? "met" : "NOT met", medianMet ? "met" : "NOT met");
        }
        std::printf("\n");
    }
    // The same measure as cyclictest's: how long after its due time each
    // frame arrived (the service thread's wake-up, the pass, the write and
    // the platform's reading thread's wake-up).
    std::printf("  arrival after the due time, p50/p99/max in ms:");
    for (const std::int64_t period : kPeriods) {
        const auto& l = late[period];
        std::printf(" %lld ms %.3f/%.3f/%.3f%s", static_cast<long long>(period), Percentile(l, 0.5),
                    Percentile(l, 0.99), Percentile(l, 1.0), period == kPeriods[std::size(kPeriods) - 1] ? "" : ";");
    }
    std::printf("\n");
    std::printf("  frames of one pass, last minus first arrival (%zu passes of 2 frames or more): median %.3f ms, "
                "p99 %.3f ms, max %.3f ms\n",
                spreads.size(), Percentile(spreads, 0.5), Percentile(spreads, 0.99), Percentile(spreads, 1.0));
    if (machine.ok) {
        std::printf("  goal (|deviation| p99 <= machine p99 + 0.2 ms and median <= 0.1 ms at every period): %s\n",
                    goalMet ? "met" : "NOT met");
    }
    std::printf("CPU with 100 cyclic rows on five buses:           %12.4f s per s (%.2f %% of one core)\n",
                cyclic.cpuPerSecond, cyclic.cpuPerSecond * 100);
    std::printf("  library threads: %.1f voluntary, %.1f involuntary context switches per s\n",
                cyclic.wakeupsPerSecond, cyclic.involuntaryPerSecond);

    if (options.cyclicOnly) return 0;
    const LoadResult idle = Idle(options.idleSeconds);
    std::printf("idle (one receive row, no traffic), %.0f s:         %12.1f wake-ups/s (voluntary context switches "
                "of the library's threads), %.1f involuntary/s, CPU %.5f s per s\n",
                options.idleSeconds, idle.wakeupsPerSecond, idle.involuntaryPerSecond, idle.cpuPerSecond);
    return 0;
}
