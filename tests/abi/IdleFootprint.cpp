// An idle, initialised application: it links the shared library as a real
// application does, initialises against a minimal platform that runs in a
// child process, and reports its resident memory and the stacks of the
// library's two worker threads. Fails when a worker thread's stack is not the
// 64 KiB that the library asks for.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "IPCClient.h"
#include "IPCServer.h"
#include "core/TestHooks.h"

namespace {

constexpr std::int32_t kAddress = 100;
constexpr std::int32_t kPlatformAddress = 254;
constexpr std::size_t kExpectedStack = 64 * 1024;
constexpr std::uintptr_t kLargestMapping = std::uintptr_t{1} << 30;

struct Stack {
    bool known = false;
    std::size_t size = 0;
    std::size_t guard = 0;
};

Stack StackOf(pthread_t thread) {
    Stack stack;
    pthread_attr_t attributes;
    if (pthread_getattr_np(thread, &attributes) != 0) return stack;
    void* base = nullptr;
    stack.known = pthread_attr_getstack(&attributes, &base, &stack.size) == 0 &&
                  pthread_attr_getguardsize(&attributes, &stack.guard) == 0;
    pthread_attr_destroy(&attributes);
    return stack;
}

// The host: its first dispatch hook, on the listener thread, notes that
// thread's stack.
struct Host {
    std::mutex lock;
    std::condition_variable changed;
    bool dispatched = false;
    Stack listener;

    static void Begin(void* context) {
        auto* host = static_cast<Host*>(context);
        const Stack stack = StackOf(pthread_self());
        {
            std::lock_guard<std::mutex> guard(host->lock);
            if (host->dispatched) return;
            host->listener = stack;
            host->dispatched = true;
        }
        host->changed.notify_all();
    }
    static void End(void*) {}
};

// The platform: accepts the application and sends it one message of a
// category that it ignores, so that its listener runs one dispatch. Runs
// until the application closes `doneFd`.
int RunPlatform(const std::string& path, int readyFd, int doneFd) {
    PlatformServices::IPCServer server(kPlatformAddress);
    server.SetConnectionHandler([&server](std::int32_t address, bool connected) {
        if (!connected) return;
        PlatformServices::QRVMessage message(0, 99, address);
        message.NewChildMessage(1)->Build(1, 0, nullptr, false);
        server.Write(address, message);
    });
    if (server.Start(path) != 0) return 1;
    const char ready = 1;
    if (write(readyFd, &ready, 1) != 1) return 1;
    char ignored;
    while (read(doneFd, &ignored, 1) > 0) {
    }
    server.Stop();
    return 0;
}

long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

// Resident pages of this program's own mappings (under an emulator, the
// guest's mappings only), by mincore. File-backed pages count when they are
// in the page cache, so that figure is an upper bound.
struct Resident {
    std::size_t anonymousKb = 0;
    std::size_t fileKb = 0;
};

Resident MappedResident() {
    Resident resident;
    const long page = sysconf(_SC_PAGESIZE);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    std::vector<unsigned char> vector;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, path;
        unsigned long inode = 0;
        fields >> range >> perms >> offset >> device >> inode;
        std::getline(fields >> std::ws, path);
        if (perms.size() < 3 || (perms[0] != 'r' && perms[1] != 'w' && perms[2] != 'x')) continue;  // guards
        if (path == "[vsyscall]" || path == "[vvar]") continue;
        const std::size_t dash = range.find('-');
        if (dash == std::string::npos) continue;
        const std::uintptr_t start = std::stoull(range.substr(0, dash), nullptr, 16);
        const std::uintptr_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        // Sanitizer shadow memory and address-space reservations are no
        // part of the application.
        if (end - start > kLargestMapping) continue;
        const std::size_t pages = (end - start) / static_cast<std::size_t>(page);
        vector.assign(pages, 0);
        if (mincore(reinterpret_cast<void*>(start), end - start, vector.data()) != 0) continue;
        std::size_t present = 0;
        for (unsigned char flags : vector) present += flags & 1;
        const std::size_t kb = present * static_cast<std::size_t>(page) / 1024;
        (inode == 0 ? resident.anonymousKb : resident.fileKb) += kb;
    }
    return resident;
}

bool Report(const char* name, const Stack& stack) {
    std::printf("%s thread stack: %zu bytes, guard %zu bytes\n", name, stack.size, stack.guard);
    if (!stack.known || stack.size != kExpectedStack) {
        std::printf("  expected a %zu-byte stack\n", kExpectedStack);
        return false;
    }
    return true;
}

int RunApplication(const std::string& path) {
    setenv(PlatformServices::kEndpointEnvVar, path.c_str(), 1);
    Host host;
    CustomApplication::CoreTypes::ServiceProviders table{};
    table.hostContext = &host;
    table.messageDispatchBegin = &Host::Begin;
    table.messageDispatchEnd = &Host::End;

    // The process before the library does anything.
    const long rssBefore = StatusKb("VmRSS");
    const Resident mappedBefore = MappedResident();
    const std::size_t heapBefore = mallinfo2().uordblks;

    CustomApplication::TarvexInterface sdk;
    const std::int32_t result = sdk.Init(kAddress, &table, 0);
    if (result != 0) {
        std::printf("Init failed: %d\n", result);
        return 1;
    }
    {
        std::unique_lock<std::mutex> guard(host.lock);
        if (!host.changed.wait_for(guard, std::chrono::seconds(30), [&] { return host.dispatched; })) {
            std::printf("the listener thread dispatched nothing\n");
            return 1;
        }
    }

    // Idle now: both worker threads wait, the listener on the connection and
    // the service thread on its wake event.
    const CustomApplication::TEST_Workers workers = CustomApplication::TEST_WorkerThreads(sdk);
    const Stack listener = StackOf(workers.listener);
    const Stack service = StackOf(workers.service);
    const long rss = StatusKb("VmRSS");
    const Resident mapped = MappedResident();
    const struct mallinfo2 heap = mallinfo2();

    std::printf("idle initialised application (%zu-bit), before construction -> after Init:\n", sizeof(void*) * 8);
    std::printf("  VmRSS of the process: %ld -> %ld kB (under an emulator, the emulator's memory is included)\n",
                rssBefore, rss);
    std::printf("  resident anonymous mappings (heap, stacks, data): %zu -> %zu kB\n", mappedBefore.anonymousKb,
                mapped.anonymousKb);
    std::printf("  resident file-backed mappings (page-cache upper bound): %zu -> %zu kB\n", mappedBefore.fileKb,
                mapped.fileKb);
    std::printf("  heap in use: %zu -> %zu bytes\n", heapBefore, heap.uordblks);
    bool ok = Report("listener (seen from its dispatch hook)", host.listener);
    ok = Report("listener", listener) && ok;
    ok = Report("service", service) && ok;
    sdk.Shutdown();
    return ok ? 0 : 1;
}

}  // namespace

int main() {
    char dir[] = "/tmp/customapp-footprint-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string path = std::string(dir) + "/gatrel";

    int ready[2], done[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(done, O_CLOEXEC) != 0) return 1;
    std::fflush(stdout);
    const pid_t platform = fork();
    if (platform < 0) return 1;
    if (platform == 0) {
        close(ready[0]);
        close(done[1]);
        _exit(RunPlatform(path, ready[1], done[0]));
    }
    close(ready[1]);
    close(done[0]);

    char byte = 0;
    int status = 1;
    if (read(ready[0], &byte, 1) == 1) {
        status = RunApplication(path);
    } else {
        std::printf("the platform did not start\n");
    }
    close(done[1]);
    int platformStatus = 0;
    waitpid(platform, &platformStatus, 0);
    rmdir(dir);
    return status;
}
