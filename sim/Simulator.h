// Thread rule: Start and Stop from one controlling thread; Execute,
// StartReplay, StopReplay and the accessors from any thread except the
// worker (which runs the services). The report sink is called from the
// worker, the replay thread and callers of Execute, one line at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CanService.h"
#include "CommandParser.h"
#include "EepromService.h"
#include "EventQueue.h"
#include "IPCServer.h"
#include "J1708Service.h"
#include "J1939Service.h"
#include "LogWriter.h"
#include "PluginService.h"
#include "Replayer.h"
#include "ServiceHost.h"
#include "TimingChecker.h"

namespace gatewaysim {

struct SimulatorOptions {
    std::string endpoint;          // the socket applications connect to
    std::string dataFolder;        // EEPROM files; created when missing
    std::string pluginFolder;      // files served to plug-ins
    std::size_t eepromSize = 4096;
    std::vector<J1939Service::StaticCa> staticCas;
    std::string logPath;           // empty: no log; "-": standard output
    // Receives every report line; by default they go to standard error.
    std::function<void(const std::string&)> report;
    // Called (on the thread that ran the command) when a quit command arrives.
    std::function<void()> onQuit;
    // Test hook: called off the worker thread before a plug-in file's CRC is
    // computed.
    std::function<void()> TEST_summaryComputing;
};

// The gateway simulator: serves the platform endpoint, routes each message
// of an application by its category to the service in charge, and joins the
// services to the simulated buses, the log and the timing check.
//
// All services run on one worker thread, fed by a bounded queue: the
// server's I/O thread queues what applications send and when they come and
// go, the replay thread queues frames, and operator commands are queued as
// tasks. So the services need no locks, and what one application sends is
// handled in its order.
class Simulator : private ServiceHost {
public:
    using Reply = CommandReply;

    static constexpr std::size_t kQueueCapacity = 16384;
    static constexpr int kCommandTimeoutMs = 15000;

    explicit Simulator(SimulatorOptions options);
    ~Simulator() override;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Prepares the data folder and the log, starts the worker and serves the
    // endpoint. 0, or a negative errno value with the reason in `*error`.
    int Start(std::string* error);
    // Ends the replay, the server and the worker. Idempotent.
    void Stop();

    // Runs one operator command line.
    Reply Execute(const std::string& line);
    Reply Execute(const Command& command);

    const SimulatorOptions& Options() const { return options_; }

private:
    // ServiceHost
    void Send(std::int32_t address, std::int32_t category, std::int32_t command, const std::uint8_t* data,
              std::size_t length) override;
    void Report(const std::string& line) override;
    void PutOnBus(const CanFrame& frame, const Origin& origin) override;
    void PutOnJ1708(const J1708Frame& frame, const Origin& origin) override;
    void Post(std::function<void()> task) override;

    void Run();
    void HandleMessage(std::int32_t source, PlatformServices::QRVMessage& message);
    void Joined(std::int32_t address);
    void Gone(std::int32_t address);
    void DropApplication(std::int32_t address, const std::string& reason);
    // Puts a frame on a bus with the time that the timing check uses.
    void PutOnBusAt(const CanFrame& frame, const Origin& origin, std::int64_t timingUs);
    bool Replay(const LogEntry& entry, bool fast);
    void NoteLogFailure();

    // Runs `task` on the worker and waits (bounded) for its reply.
    Reply OnWorker(std::function<Reply()> task);
    Reply List() const;
    Reply Timing() const;

    SimulatorOptions options_;
    std::mutex reportLock_;
    PlatformServices::IPCServer server_;
    EventQueue queue_;
    std::thread worker_;
    bool started_ = false;
    Replayer replayer_;

    // Worker thread only.
    LogWriter log_;
    bool logFailureReported_ = false;
    TimingChecker timing_;
    CanService can_;
    J1939Service j1939_;
    J1708Service j1708_;
    EepromService eeprom_;
    PluginService plugin_;
    struct Application {
        std::int64_t connectedMs = 0;
        std::uint64_t messages = 0;
    };
    std::map<std::int32_t, Application> applications_;
    std::set<std::int32_t> dropping_;  // disconnected by us, their end not yet reported
};

// Monotonic and wall-clock time in microseconds.
std::int64_t MonotonicUs();
std::int64_t WallClockUs();

}  // namespace gatewaysim
