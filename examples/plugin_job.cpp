// A plug-in (SDK mode 1): it waits for the platform to start a job, reports
// its progress while it reads the job's file block by block, checks the
// file against the summary the platform gives, and reports the job done.
//
//     plugin_job [SECONDS [ADDRESS [PLUGIN-ID]]]
//
// The job parameter selects the file (0 and 1 the file modes of those
// numbers, anything else the third mode). Runs for SECONDS (default 30;
// SIGINT or SIGTERM end it earlier), handling one job after the other.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>

#include <customapp/TarvexInterface.h>

#include "host/ExampleHost.h"
#include "host/Output.h"

using namespace CustomApplication;
using examples::Say;

namespace {

const char* const kUsage = "usage: plugin_job [SECONDS [ADDRESS [PLUGIN-ID]]]\n";

// Job states as this plug-in reports them.
constexpr std::int32_t kStateRunning = 1;
constexpr std::int32_t kStateDone = 2;
constexpr std::int32_t kStateFailed = 3;

// Jobs handed from the notifier (listener thread) to the main thread: file
// queries block until the platform answers, which only the listener thread
// receives, so the notifier must not make them itself.
struct JobQueue {
    TarvexInterface* sdk;
    void* arrived;  // a semaphore
    std::mutex lock;
    std::deque<PluginTypes::JobInfo> jobs;
};

void OnJobStart(void* context, const PluginTypes::JobInfo* info) {
    auto* queue = static_cast<JobQueue*>(context);
    Say("job start: comms mode %d, bus %d, parameter %u", info->CommsMode, info->Bus, info->JobParameter);
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        queue->jobs.push_back(*info);
    }
    queue->sdk->SemaphoreSet(queue->arrived);
}

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t length) {
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void RunJob(TarvexInterface& sdk, const PluginTypes::JobInfo& job) {
    const auto mode = static_cast<PluginTypes::FileMode>(job.JobParameter <= 1 ? job.JobParameter : 2);
    sdk.PluginReportJobProgress(static_cast<PluginTypes::OperationState>(kStateRunning), 0, 0);

    PluginTypes::FileStats stats{};
    const std::int32_t statsResult = sdk.PluginGetFileStats(&stats, mode);
    if (statsResult != 0) {
        Say("file summary failed: %d", statsResult);
        sdk.PluginReportJobProgress(static_cast<PluginTypes::OperationState>(kStateFailed), 0, statsResult);
        return;
    }
    Say("file of mode %d: %u bytes, CRC-32 %08X", mode, stats.Value0, stats.Value1);

    static PluginTypes::FileData block;  // 4 KiB: not on the stack
    std::uint32_t offset = 0;
    std::uint32_t crc = 0;
    for (;;) {
        const std::int32_t result = sdk.PluginGetFileData(&block, mode, offset, PluginTypes::MaxFileDataLength, 0);
        if (result != 0) {
            Say("block at %u failed: %d", offset, result);
            sdk.PluginReportJobProgress(static_cast<PluginTypes::OperationState>(kStateFailed), 0, result);
            return;
        }
        if (block.Length == 0) break;  // end of the file
        if (offset == 0) {
            std::size_t shown = block.Length < 16 ? block.Length : 16;
            Say("first bytes: %s", examples::Hex(block.Data, shown).c_str());
        }
        crc = Crc32(crc, block.Data, block.Length);
        offset += block.Length;
        const unsigned percent = stats.Value0 == 0 ? 100 : static_cast<unsigned>(100ull * offset / stats.Value0);
        sdk.PluginReportJobProgress(static_cast<PluginTypes::OperationState>(kStateRunning),
                                    static_cast<std::uint8_t>(percent > 100 ? 100 : percent),
                                    static_cast<std::int32_t>(offset));
        if (offset >= block.Value1) break;  // Value1: the file's size
    }
    const bool intact = offset == stats.Value0 && crc == stats.Value1;
    Say("read %u bytes, CRC-32 %08X: %s", offset, crc, intact ? "matches the summary" : "DOES NOT match");
    sdk.PluginReportJobProgress(static_cast<PluginTypes::OperationState>(intact ? kStateDone : kStateFailed), 100,
                                static_cast<std::int32_t>(offset));
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = examples::SecondsArgument(argc, argv, 1, 30, kUsage);
    const std::int32_t address = argc > 2 ? std::atoi(argv[2]) : 200;
    const std::int32_t pluginId = argc > 3 ? std::atoi(argv[3]) : 7;
    examples::BlockStopSignals();

    examples::ExampleHost host(pluginId);
    TarvexInterface sdk;
    const std::int32_t init = sdk.Init(address, host.Table(), /*mode=*/1);
    if (init != 0) {
        Say("Init failed: %d (is a platform or gateway-sim serving the endpoint?)", init);
        return 1;
    }
    JobQueue queue{&sdk, sdk.SemaphoreCreate(), {}, {}};
    sdk.PluginRegisterJobStartNotifier(OnJobStart, &queue);
    Say("plugin_job: address %d, plug-in id %d, waiting %d s for jobs", address, pluginId, seconds);
    Say("ready");

    const std::int64_t end = sdk.GetTicks() + seconds * 1000LL;
    int jobs = 0;
    for (;;) {
        const std::int64_t left = end - sdk.GetTicks();
        if (left <= 0) break;
        if (examples::StopSignalPending()) {
            Say("stopped by a signal");
            break;
        }
        // In slices, to notice a stop signal.
        if (sdk.SemaphoreWait(queue.arrived, static_cast<std::int32_t>(left < 200 ? left : 200)) != 0) continue;
        sdk.SemaphoreReset(queue.arrived);
        for (;;) {
            PluginTypes::JobInfo job;
            {
                std::lock_guard<std::mutex> guard(queue.lock);
                if (queue.jobs.empty()) break;
                job = queue.jobs.front();
                queue.jobs.pop_front();
            }
            RunJob(sdk, job);
            ++jobs;
        }
    }

    sdk.PluginRegisterJobStartNotifier(nullptr, nullptr);
    sdk.Shutdown();
    sdk.SemaphoreFree(queue.arrived);
    host.Stop();
    Say("plugin_job: %d jobs handled; shut down", jobs);
    return 0;
}
