// A bounded soak of the simulator at full load: eight applications send
// standard and extended frames on all five buses as fast as the simulator
// serves them, and each takes every frame of every bus. Each sender keeps at
// most kWindow frames ahead of its slowest reader, so a slow machine (or a
// sanitizer) slows the soak down instead of failing it. Every frame reaches every other
// application once and in order; the process's resident memory and open
// descriptors (the simulator's and the applications') stay flat.
//
// Bound: CUSTOMAPP_SOAK_SECONDS (default 3 here). The long run:
//   CUSTOMAPP_SOAK_SECONDS=300 build/dev/tests/sim_tests --gtest_filter='LoadSoak*'
#include <dirent.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "SimFixture.h"

namespace {

using namespace simtest;
using PlatformServices::IPCClient;
using PlatformServices::MessageBatch;
using PlatformServices::QRVMessage;

constexpr int kApps = 8;
constexpr int kBuses = 5;
// Frames a sender may be ahead of its slowest reader on one bus. What is in
// flight stays well below a socket's buffer, which the kernel charges with
// about 0.75 kB a frame of 60 bytes (five buses of 25: about 95 of 208 kB),
// so a sender's write never waits on a full socket, however long the
// simulator is held up: a write that waited past the client's bound would
// cost it the connection.
constexpr std::uint64_t kWindow = 25;
constexpr std::int32_t kFirstAddress = 100;

long EnvOr(const char* name, long fallback) {
    const char* value = std::getenv(name);
    const long parsed = value != nullptr ? std::strtol(value, nullptr, 10) : 0;
    return parsed > 0 ? parsed : fallback;
}

long ResidentKb() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
    std::fclose(status);
    return kb;
}

int OpenDescriptors() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(folder))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(folder);
    return count - 1;  // the folder's own descriptor
}

void SendOne(IPCClient& client, std::int32_t category, std::int32_t command, const std::uint8_t* data,
             std::size_t length) {
    QRVMessage message(QRVMessage::kTypeEnvelope, category, 254);
    message.NewChildMessage(QRVMessage::kTypeChild)->Build(command, length, data, false);
    client.Write(message);
}

// What all applications share: frames sent per (sender, bus), frames taken
// per (receiver, sender, bus), and faults seen.
struct Counts {
    std::atomic<std::uint64_t> sent[kApps][kBuses] = {};
    std::atomic<std::uint64_t> taken[kApps][kApps][kBuses] = {};
    std::atomic<std::uint64_t> faults{0};  // gaps, repeats, foreign frames
    std::atomic<int> answered{0};          // applications whose subscriptions are in place
    std::mutex lock;
    std::condition_variable progress;
};

class SoakApp {
public:
    SoakApp(int index, const std::string& endpoint, Counts& counts) : index_(index), counts_(counts) {
        EXPECT_EQ(client_.Connect(endpoint.c_str()), 0);
        EXPECT_GT(client_.RegisterAddress(kFirstAddress + index), 0);
        reader_ = std::thread([this] { Read(); });
        for (std::uint8_t bus = 0; bus < kBuses; ++bus) {
            std::uint8_t subscription[12] = {bus};  // identifier 0, mask 0: every frame
            SendOne(client_, gatewaysim::kCategoryCan, gatewaysim::can::kCmdSubscribe, subscription, 12);
        }
        // Answered after the subscriptions are in place.
        SendOne(client_, gatewaysim::kCategoryCustomApp, gatewaysim::eeprom::kCmdState, nullptr, 0);
    }
    ~SoakApp() {
        StopSending();
        client_.Shutdown();
        if (reader_.joinable()) reader_.join();
    }

    void StartSending() {
        sender_ = std::thread([this] { Send(); });
    }
    void StopSending() {
        stop_.store(true);
        counts_.progress.notify_all();
        if (sender_.joinable()) sender_.join();
    }

private:
    std::uint64_t SlowestReader(int bus) const {
        std::uint64_t slowest = UINT64_MAX;
        for (int r = 0; r < kApps; ++r)
            if (r != index_) slowest = std::min(slowest, counts_.taken[r][index_][bus].load());
        return slowest;
    }

    void Send() {
        std::uint8_t record[16] = {};
        while (!stop_.load()) {
            for (int bus = 0; bus < kBuses && !stop_.load(); ++bus) {
                const std::uint64_t seq = counts_.sent[index_][bus].load();
                if (seq >= SlowestReader(bus) + kWindow) {
                    std::unique_lock<std::mutex> guard(counts_.lock);
                    counts_.progress.wait_for(guard, std::chrono::milliseconds(10));
                    continue;
                }
                const bool extended = (seq & 1) != 0;
                const std::uint32_t id = (extended ? 0x18FF0000u : 0x100u) + static_cast<std::uint32_t>(index_);
                std::memcpy(record, &id, 4);
                record[4] = extended ? 1 : 0;
                record[5] = static_cast<std::uint8_t>(bus);
                record[7] = 8;
                std::memcpy(record + 8, &seq, 8);
                SendOne(client_, gatewaysim::kCategoryCan, gatewaysim::can::kCmdSend, record, sizeof record);
                counts_.sent[index_][bus].store(seq + 1);
            }
        }
    }

    void Read() {
        MessageBatch batch;
        while (client_.Read(batch) > 0) {
            for (const auto& message : batch) {
                if (!message->ParseChildMessages()) {
                    ++counts_.faults;
                    continue;
                }
                for (const auto& child : message->GetChildMessages()) Take(message->GetCommand(), *child);
            }
            client_.Recycle(batch);
            counts_.progress.notify_all();
        }
    }

    void Take(std::int32_t category, const QRVMessage& child) {
        if (category == gatewaysim::kCategoryCustomApp) {
            ++counts_.answered;
            return;
        }
        if (category != gatewaysim::kCategoryCan || child.GetCommand() != gatewaysim::can::kCmdReceived ||
            child.GetLength() != 16) {
            ++counts_.faults;
            return;
        }
        const std::uint8_t* data = child.GetData();
        std::uint32_t id;
        std::uint64_t seq;
        std::memcpy(&id, data, 4);
        std::memcpy(&seq, data + 8, 8);
        const std::uint32_t sender = id & 0xFF;
        const int bus = data[5];
        if (sender >= kApps || bus >= kBuses || static_cast<int>(sender) == index_) {
            ++counts_.faults;
            return;
        }
        std::atomic<std::uint64_t>& taken = counts_.taken[index_][sender][bus];
        if (seq != taken.load()) ++counts_.faults;
        taken.store(seq + 1);
    }

    const int index_;
    Counts& counts_;
    IPCClient client_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    std::thread sender_;
};

class LoadSoakTest : public SimTest {};

TEST_F(LoadSoakTest, FullLoadKeepsEveryFrameAndMemoryAndDescriptorsFlat) {
    const long seconds = EnvOr("CUSTOMAPP_SOAK_SECONDS", 3);
    options_.report = [](const std::string&) {};  // timing drifts would pile up in the fixture's list
    for (auto& rate : options_.bitrates) rate = 1000000;
    StartSim();

    auto counts = std::make_unique<Counts>();
    std::vector<std::unique_ptr<SoakApp>> apps;
    for (int i = 0; i < kApps; ++i) apps.push_back(std::make_unique<SoakApp>(i, options_.endpoint, *counts));
    {
        std::unique_lock<std::mutex> guard(counts->lock);
        ASSERT_TRUE(counts->progress.wait_for(guard, std::chrono::milliseconds(kBoundMs),
                                              [&] { return counts->answered.load() == kApps; }));
    }
    for (auto& app : apps) app->StartSending();

    struct Sample {
        double seconds;
        long residentKb;
        int descriptors;
    };
    std::vector<Sample> samples;
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    while (elapsed() < static_cast<double>(seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));  // sampling period, not synchronisation
        samples.push_back({elapsed(), ResidentKb(), OpenDescriptors()});
    }
    for (auto& app : apps) app->StopSending();

    // Every frame reaches every other application (bounded wait for the tail).
    std::uint64_t total = 0;
    const auto complete = [&] {
        for (int r = 0; r < kApps; ++r)
            for (int s = 0; s < kApps; ++s)
                for (int b = 0; b < kBuses; ++b)
                    if (r != s && counts->taken[r][s][b].load() != counts->sent[s][b].load()) return false;
        return true;
    };
    {
        std::unique_lock<std::mutex> guard(counts->lock);
        EXPECT_TRUE(counts->progress.wait_for(guard, std::chrono::milliseconds(3 * kBoundMs), complete));
    }
    for (int s = 0; s < kApps; ++s)
        for (int b = 0; b < kBuses; ++b) total += counts->sent[s][b].load();
    EXPECT_EQ(counts->faults.load(), 0u);
    samples.push_back({elapsed(), ResidentKb(), OpenDescriptors()});
    EXPECT_GT(total, 0u);

    ASSERT_GE(samples.size(), 3u);
    // Compared from the second sample on: buffers have grown to their working size.
    const Sample& first = samples[1];
    const Sample& last = samples.back();
    for (const Sample& sample : samples) {
        EXPECT_EQ(sample.descriptors, first.descriptors) << "at " << sample.seconds;
        std::printf("load soak sample: %5.2f s %8ld kB resident %3d descriptors\n", sample.seconds, sample.residentKb,
                    sample.descriptors);
    }
    std::printf("load soak: %llu frames on the buses in %.1f s (%.0f per s, %.0f deliveries per s); resident %ld kB "
                "at %.1f s, %ld kB at the end; %d descriptors\n",
                static_cast<unsigned long long>(total), last.seconds, static_cast<double>(total) / last.seconds,
                static_cast<double>(total) * (kApps - 1) / last.seconds, first.residentKb, first.seconds,
                last.residentKb, last.descriptors);
#ifndef CUSTOMAPP_RESIDENT_SIZE_NOT_OURS
    // The resident size is a high-water mark: once the simulator's event
    // queue has been full (16,384 messages, about 5 MB) it keeps that size.
    // A message lost per frame would take more than this within a second.
    if (EnvOr("CUSTOMAPP_SOAK_RESIDENT_NOT_OURS", 0) == 0) {  // set by the runs under valgrind
        EXPECT_LE(last.residentKb - first.residentKb, 8192) << "resident memory grew during the soak";
    }
#endif
    apps.clear();
}

}  // namespace
