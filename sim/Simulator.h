// Thread rule: Start and Stop from one controlling thread; Execute,
// StartReplay, StopReplay and the accessors from any thread except the
// worker (which runs the services). The report sink is called from the
// worker, the replay thread, callers of Execute and Stop, one line at a time.
#pragma once

#include <array>
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

#include "bus/BusLoad.h"
#include "services/CanService.h"
#include "io/CommandParser.h"
#include "services/EepromService.h"
#include "EventQueue.h"
#include "Faults.h"
#include "IPCServer.h"
#include "services/J1708Service.h"
#include "j1939/J1939Service.h"
#include "io/LogWriter.h"
#include "services/PluginService.h"
#include "io/Replayer.h"
#include "services/ServiceHost.h"
#include "bus/TimingChecker.h"

namespace gatewaysim {

struct SimulatorOptions {
    std::string endpoint;          // the socket applications connect to
    std::string dataFolder;        // EEPROM files; created when missing
    std::string pluginFolder;      // files served to plug-ins
    std::size_t eepromSize = 4096;
    std::vector<J1939Service::StaticCa> staticCas;
    std::string logPath;           // CAN frames; empty: no log; "-": standard output
    std::string j1708LogPath;      // J1708 frames, as above
    // Milliseconds between the data packets of a BAM (the standard's 50 by default).
    std::int64_t tpPacketGapMs = tp::kStandardBamGapMs;
    // Bit rate of each CAN bus in bits per second (250000, 500000 or 1000000).
    std::array<std::uint32_t, kCanBusCount> bitrates = {BusLoad::kDefaultBitrate, BusLoad::kDefaultBitrate,
                                                        BusLoad::kDefaultBitrate, BusLoad::kDefaultBitrate,
                                                        BusLoad::kDefaultBitrate};
    // Receives every report line; by default they go to standard error.
    std::function<void(const std::string&)> report;
    // No report lines at all (the busiest, timing drifts, are not even
    // composed).
    bool quiet = false;
    // Called (on the thread that ran the command) when a quit command arrives.
    std::function<void()> onQuit;
    // Sees every CAN frame on a bus with its origin and wall-clock time, on
    // the worker; it must not block.
    std::function<void(const CanFrame& frame, const Origin& origin, std::int64_t wallTimeUs)> busTap;
    // Mode of the EEPROM files and of the endpoint socket: owner-only unless
    // the operator shares them.
    int fileMode = 0600;
    // A connection to the endpoint that has not registered within this time
    // is closed; of those waiting, the oldest goes once more than
    // maxUnregistered wait (a newcomer is never refused).
    int registrationTimeoutMs = 3000;
    std::size_t maxUnregistered = 64;
    // Test hook: called off the worker thread before a plug-in file's CRC is
    // computed.
    std::function<void()> TEST_summaryComputing;
};

// The gateway simulator: serves the platform endpoint, routes each message
// of an application by its category to the service in charge, and joins the
// services to the simulated buses, the log and the timing check.
//
// All services run on one worker thread, which also runs the server's I/O:
// what applications send, and their coming and going, is handled as it is
// read, in its order. The replay thread, CAN tools and operator commands
// hand their work over as tasks through a bounded queue. So the services
// need no locks.
class Simulator : private ServiceHost {
public:
    using Reply = CommandReply;

    static constexpr std::size_t kQueueCapacity = 16384;
    static constexpr int kCommandTimeoutMs = 15000;
    // Output to the applications is written at most once per interval while
    // frames keep coming (a frame after a quiet spell goes out at once), and
    // at once when this much has gathered.
    static constexpr std::int64_t kFlushIntervalUs = 350;
    static constexpr std::size_t kFlushBytes = 256 * 1024;
    // An application whose socket is full is tried again after this long; it
    // is dropped once its socket has taken nothing for kStallLimitUs or more
    // than kOutboxLimitBytes wait for it, so that it never holds up the buses.
    static constexpr std::int64_t kRetryUs = 2000;
    static constexpr std::int64_t kStallLimitUs = 5'000'000;
    static constexpr std::size_t kOutboxLimitBytes = 8 * 1024 * 1024;

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

    // Puts a frame from a CAN tool (`tool` numbers its connection) on its
    // bus, as the operator's; waits while the worker's queue is full. False
    // once the simulator is stopping.
    bool Inject(const CanFrame& frame, std::int32_t tool);

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
    // Faults on demand (worker): puts one in force, or ends all.
    Reply ApplyFault(const FaultCommand& fault);
    // Undoes what the ended faults did; schedules the next end.
    void FaultsEnded(const Faults::Ended& ended);
    // Runs the timers due and ends the faults whose time is up.
    void RunDue(std::int64_t nowUs);
    // Queues one message for an application (Send, after the faults).
    void Queue(std::int32_t address, std::int32_t category, std::int32_t command, const std::uint8_t* data,
               std::size_t length);
    // Writes every outbox as far as the sockets take it and drops the
    // applications that stopped reading.
    void Flush();
    void HandleMessage(std::int32_t source, PlatformServices::QRVMessage& message);
    void Joined(std::int32_t address);
    void Gone(std::int32_t address);
    void DropApplication(std::int32_t address, const std::string& reason);
    // Puts a frame on a bus at `nowUs` (monotonic), with the time that the
    // timing check uses.
    void PutOnBusAt(const CanFrame& frame, const Origin& origin, std::int64_t timingUs, std::int64_t nowUs);
    bool Replay(const LogEntry& entry, bool fast);
    // Percent of `bus` that its cyclic frames ask for; reports the first time
    // it exceeds the bus.
    double CheckDemand(std::uint8_t bus);
    void NoteLogFailure();

    // Runs `task` on the worker and waits (bounded) for its reply.
    Reply OnWorker(std::function<Reply()> task);
    Reply List() const;
    Reply Timing();
    Reply J1939Network() const;

    SimulatorOptions options_;
    std::mutex reportLock_;
    PlatformServices::IPCServer server_;
    EventQueue queue_;
    std::thread worker_;
    bool started_ = false;
    Replayer replayer_;

    // Worker thread only.
    LogWriter log_;
    LogWriter j1708Log_;
    bool logFailureReported_ = false;
    TimingChecker timing_;
    BusLoad load_;
    std::array<bool, kCanBusCount> overbooked_{};  // reported: cyclic frames ask for more than the bus
    CanService can_;
    J1939Service j1939_;
    J1708Service j1708_;
    EepromService eeprom_;
    PluginService plugin_;
    // What waits to be written to one application: whole frames, of which
    // the first `sent` bytes went out. All of an application's frames of one
    // pass of the worker go out in one write.
    struct Outbox {
        std::vector<std::uint8_t> bytes;
        std::size_t sent = 0;
        std::uint64_t connection = 0;    // the server's name of the connection written to
        std::int64_t stalledSinceUs = 0; // 0, or when its socket last took nothing
    };
    struct Application {
        std::int64_t connectedMs = 0;
        std::uint64_t messages = 0;
        Outbox out;
    };
    std::map<std::int32_t, Application> applications_;
    std::set<std::int32_t> dropping_;  // disconnected by us, their end not yet reported
    // Asked for every message and delivery: nearly always none is dropping.
    bool Dropping(std::int32_t address) const { return !dropping_.empty() && dropping_.count(address) != 0; }
    std::size_t queuedBytes_ = 0;      // in outboxes since the last flush
    std::int64_t lastFlushUs_ = 0;
    std::int64_t flushDueUs_ = -1;     // -1: no write due
    std::int64_t retryDueUs_ = -1;     // -1: no application's socket was full
    Faults faults_;
    std::int64_t faultsDueUs_ = -1;    // the next fault to end by time, or -1
    // Work due at a time (monotonic microseconds): delayed answers.
    std::multimap<std::int64_t, std::function<void()>> timers_;
    static constexpr std::size_t kMaxDelayed = 65536;
    bool delayedFull_ = false;  // reported: the delayed messages reached kMaxDelayed
};

// Monotonic and wall-clock time in microseconds.
std::int64_t MonotonicUs();
std::int64_t WallClockUs();

}  // namespace gatewaysim
