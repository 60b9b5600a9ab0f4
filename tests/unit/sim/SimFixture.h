// Thread rule: a RawApp's reader thread records what arrives; every other
// member is called from the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "IPCClient.h"
#include "QRVMessage.h"
#include "Simulator.h"
#include "services/Wire.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
constexpr int kBoundMs = 10'000;  // generous: only a hang exceeds it

// Polls `condition` until it holds or `timeoutMs` pass; for states that
// announce themselves nowhere (the simulator's list, a file).
inline bool Eventually(const std::function<bool()>& condition, int timeoutMs = kBoundMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// One message received by an application: one child of an envelope.
struct Received {
    std::int32_t category;
    std::int32_t source;
    std::int32_t command;
    Bytes payload;
};

// An application that speaks the wire format directly, through the platform
// layer's client, with a thread that records everything it receives.
class RawApp {
public:
    RawApp(const std::string& endpoint, std::int32_t address) : address_(address) {
        EXPECT_EQ(client_.Connect(endpoint.c_str()), 0);
        registered_ = client_.RegisterAddress(address) > 0;
        EXPECT_TRUE(registered_) << "address " << address;
        reader_ = std::thread([this] { ReadLoop(); });
    }
    ~RawApp() { Close(); }
    RawApp(const RawApp&) = delete;
    RawApp& operator=(const RawApp&) = delete;

    std::int32_t Address() const { return address_; }
    PlatformServices::IPCClient& Client() { return client_; }

    void Send(std::int32_t category, std::int32_t command, const Bytes& payload) {
        PlatformServices::QRVMessage message(PlatformServices::QRVMessage::kTypeEnvelope, category,
                                             category == 13 ? 13 : (category == 22 ? 22 : 254));
        message.NewChildMessage(PlatformServices::QRVMessage::kTypeChild)
            ->Build(command, payload.size(), payload.empty() ? nullptr : payload.data(), false);
        EXPECT_EQ(client_.Write(message), 0);
    }
    void SendMessage(const PlatformServices::QRVMessage& message) { EXPECT_EQ(client_.Write(message), 0); }

    // Waits until `done` holds over everything received so far.
    bool Await(const std::function<bool(const std::vector<Received>&)>& done, int timeoutMs = kBoundMs) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return done(received_); });
    }
    // Waits for at least `count` messages of (category, command); returns them all.
    std::vector<Received> AwaitCount(std::int32_t category, std::int32_t command, std::size_t count) {
        std::vector<Received> found;
        Await([&](const std::vector<Received>& all) {
            found = Filter(all, category, command);
            return found.size() >= count;
        });
        return found;
    }
    std::vector<Received> Of(std::int32_t category, std::int32_t command) {
        std::lock_guard<std::mutex> guard(lock_);
        return Filter(received_, category, command);
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        received_.clear();
    }
    bool Closed() {
        std::lock_guard<std::mutex> guard(lock_);
        return closed_;
    }
    bool AwaitClosed(int timeoutMs = kBoundMs) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return closed_; });
    }

    // A round trip through the simulator: once it returns, everything this
    // application sent before has been handled, and everything the simulator
    // sent to it before has arrived. (The simulator handles one event at a
    // time and writes to a connection in order.)
    void Sync() {
        const std::size_t before = Of(gatewaysim::kCategoryJ1939, gatewaysim::j1939::kCmdCAsPresent).size();
        Send(gatewaysim::kCategoryJ1939, gatewaysim::j1939::kCmdRequest, Bytes{10, 0});
        ASSERT_EQ(AwaitCount(gatewaysim::kCategoryJ1939, gatewaysim::j1939::kCmdCAsPresent, before + 1).size(),
                  before + 1);
    }

    void Close() {
        client_.Shutdown();
        if (reader_.joinable()) reader_.join();
    }

private:
    static std::vector<Received> Filter(const std::vector<Received>& all, std::int32_t category,
                                        std::int32_t command) {
        std::vector<Received> found;
        for (const Received& r : all) {
            if (r.category == category && r.command == command) found.push_back(r);
        }
        return found;
    }
    void ReadLoop() {
        while (client_.IsActive()) {
            PlatformServices::MessageBatch batch;
            const int n = client_.Read(batch);
            std::lock_guard<std::mutex> guard(lock_);
            for (auto& message : batch) {
                if (!message || !message->ParseChildMessages()) continue;
                for (const auto& child : message->GetChildMessages()) {
                    Received r{message->GetCommand(), message->GetSourceAddress(), child->GetCommand(),
                               Bytes(child->GetData(), child->GetData() + child->GetLength())};
                    received_.push_back(std::move(r));
                }
            }
            if (n <= 0) break;
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        changed_.notify_all();
    }

    std::int32_t address_;
    bool registered_ = false;
    PlatformServices::IPCClient client_;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Received> received_;
    bool closed_ = false;
};

// A simulator on a fresh temporary endpoint and data folder, with its
// reports collected.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv(PlatformServices::kEndpointEnvVar);
        char pattern[] = "/tmp/gateway-sim-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        options_.endpoint = dir_ + "/endpoint";
        options_.dataFolder = dir_ + "/data";
        options_.pluginFolder = dir_ + "/files";
        // Frames take no time on the wire unless a test is about the wire:
        // a round trip (Sync) then covers their delivery too.
        options_.bitrates.fill(gatewaysim::BusLoad::kUnlimited);
        options_.report = [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(reportLock_);
            reports_.push_back(line);
            reportChanged_.notify_all();
        };
    }
    void TearDown() override {
        apps_.clear();
        if (sim_) sim_->Stop();
        sim_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void StartSim() {
        sim_ = std::make_unique<gatewaysim::Simulator>(options_);
        std::string error;
        ASSERT_EQ(sim_->Start(&error), 0) << error;
    }
    RawApp& Connect(std::int32_t address) {
        const std::string connected = "application " + std::to_string(address) + " connected";
        const std::size_t before = CountReports(connected);
        apps_.push_back(std::make_unique<RawApp>(options_.endpoint, address));
        // The simulator knows the application once it has reported it.
        EXPECT_TRUE(AwaitReport(connected, before + 1));
        return *apps_.back();
    }

    // Waits until at least `count` report lines contain `part`.
    bool AwaitReport(const std::string& part, std::size_t count = 1, int timeoutMs = kBoundMs) {
        std::unique_lock<std::mutex> guard(reportLock_);
        return reportChanged_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                       [&] { return CountLocked(part) >= count; });
    }
    std::size_t CountReports(const std::string& part) {
        std::lock_guard<std::mutex> guard(reportLock_);
        return CountLocked(part);
    }
    std::size_t CountLocked(const std::string& part) const {
        std::size_t n = 0;
        for (const std::string& line : reports_) n += line.find(part) != std::string::npos ? 1 : 0;
        return n;
    }

    gatewaysim::CommandReply Run(const std::string& line) { return sim_->Execute(line); }

    // Records every frame the buses carry (set before StartSim), with its
    // wall-clock time.
    void TapBuses() {
        options_.busTap = [this](const gatewaysim::CanFrame& frame, const gatewaysim::Origin&, std::int64_t wallUs) {
            std::lock_guard<std::mutex> guard(reportLock_);
            carried_.push_back({frame, wallUs});
            reportChanged_.notify_all();
        };
    }
    struct Carried {
        gatewaysim::CanFrame frame;
        std::int64_t wallUs;
    };
    // Waits until the buses have carried at least `count` frames; returns them.
    std::vector<Carried> AwaitCarried(std::size_t count, int timeoutMs = kBoundMs) {
        std::unique_lock<std::mutex> guard(reportLock_);
        reportChanged_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return carried_.size() >= count; });
        return carried_;
    }

    std::string dir_;
    gatewaysim::SimulatorOptions options_;
    std::unique_ptr<gatewaysim::Simulator> sim_;
    std::vector<std::unique_ptr<RawApp>> apps_;
    std::mutex reportLock_;
    std::condition_variable reportChanged_;
    std::vector<std::string> reports_;
    std::vector<Carried> carried_;
};

// One sender's transmit queue on a bus as `timing` lists it ("SENDER: Q
// queued (at most D), S sent, X dropped"); all -1 when it is not listed.
struct QueueFigures {
    long queued = -1, deepest = -1, sent = -1, dropped = -1;
};
inline QueueFigures QueueOf(const std::string& listing, const std::string& sender) {
    QueueFigures f;
    const std::size_t at = listing.find("  " + sender + ": ");
    if (at == std::string::npos) return f;
    if (std::sscanf(listing.c_str() + at + sender.size() + 4, "%ld queued (at most %ld), %ld sent, %ld dropped",
                    &f.queued, &f.deepest, &f.sent, &f.dropped) != 4)
        return QueueFigures();
    return f;
}
// Expects `sender`'s queue in `listing` empty after `sent` frames, none
// dropped, never deeper than a queue holds (so it was held back, not grown).
inline void ExpectDrainedWithinDepth(const std::string& listing, const std::string& sender, long sent) {
    const QueueFigures f = QueueOf(listing, sender);
    EXPECT_EQ(f.queued, 0) << listing;
    EXPECT_LE(f.deepest, static_cast<long>(gatewaysim::CanBus::kQueueDepth)) << listing;
    EXPECT_EQ(f.sent, sent) << listing;
    EXPECT_EQ(f.dropped, 0) << listing;
}

// Little-endian payload building.
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return gatewaysim::GetU32(b.data() + at);
}

}  // namespace simtest
