// Thread rule: Start and Stop from one controlling thread; Execute,
// StartReplay, StopReplay and the accessors from any thread except the
// worker (which runs the services). The report sink is called from the
// worker, the replay thread, callers of Execute and Stop, one line at a time.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bus/BusLoad.h"
#include "bus/CanBus.h"
#include "services/CanService.h"
#include "control/CommandParser.h"
#include "services/EepromService.h"
#include "EventQueue.h"
#include "Events.h"
#include "Faults.h"
#include "IPCServer.h"
#include "services/J1708Service.h"
#include "j1939/J1939Service.h"
#include "logs/LogWriter.h"
#include "services/PluginService.h"
#include "logs/Replayer.h"
#include "services/ServiceHost.h"
#include "bus/TimingChecker.h"
#include "vehicle/Vehicle.h"
#include "signals/SignalView.h"

namespace gatewaysim {

// The kinds of report lines, which the operator may silence one by one.
enum ReportClass : unsigned {
    kReportOther = 0,          // never silenced but by `quiet`
    kReportTiming = 1u << 0,   // drifts of cyclic frames, bus demand
    kReportJ1939 = 1u << 1,    // address claims, transport sessions
    kReportApplications = 1u << 2,  // applications coming, going, refused requests
    kReportReplay = 1u << 3,   // refused lines, gaps, outcomes of replays
};

// The class named `name` ("timing", "j1939", "applications", "replay"), or
// kReportOther for none of them.
ReportClass ReportClassNamed(const std::string& name);

struct SimulatorOptions {
    std::string endpoint;          // the socket applications connect to
    std::string dataFolder;        // EEPROM files; created when missing
    std::string pluginFolder;      // files served to plug-ins
    std::size_t eepromSize = 4096;
    std::vector<J1939Service::StaticCa> staticCas;
    std::string logPath;           // CAN frames; empty: no log; "-": standard output
    std::string j1708LogPath;      // J1708 frames, as above
    // Add to a log that exists; otherwise one that is not empty is refused.
    bool logAppend = false;
    bool j1708LogAppend = false;
    // Milliseconds between the data packets of a BAM (the standard's 50 by default).
    std::int64_t tpPacketGapMs = tp::kStandardBamGapMs;
    // Bit rate of each CAN bus in bits per second (250000, 500000 or
    // 1000000), or BusLoad::kUnlimited: frames take no time on the wire and
    // go in the order they come.
    std::array<std::uint32_t, kCanBusCount> bitrates = {BusLoad::kDefaultBitrate, BusLoad::kDefaultBitrate,
                                                        BusLoad::kDefaultBitrate, BusLoad::kDefaultBitrate,
                                                        BusLoad::kDefaultBitrate};
    // Receives every report line; by default they go to standard error.
    std::function<void(const std::string&)> report;
    // Receives the lines of a log written to standard output ("-"), if set.
    // It returns false for a line it could not write.
    std::function<bool(const std::string&)> standardOutput;
    // No report lines at all (the busiest, timing drifts, are not even
    // composed).
    bool quiet = false;
    // Report classes (ReportClass bits) left out.
    unsigned silenced = 0;
    // How far an interval may be off a cyclic frame's period before it is a
    // drift, in percent of the period.
    double timingTolerancePercent = 100.0 * TimingChecker::kDefaultTolerance;
    // Receives each event of the run (faults started and ended, applications
    // connected and gone, address claims lost), timed on the log's clock,
    // from the worker or the thread that ran a command; it must not block.
    // Unset: no event is composed.
    std::function<void(const report::Event&)> event;
    // Called (on the thread that ran the command) when a quit command arrives.
    std::function<void()> onQuit;
    // Sees every CAN frame on a bus with its origin and wall-clock time, on
    // the worker; it must not block.
    std::function<void(const CanFrame& frame, const Origin& origin, std::int64_t wallTimeUs)> busTap;
    // Mode of the EEPROM files, of the logs it creates and of the endpoint
    // socket: owner-only unless the operator shares them.
    int fileMode = 0600;
    // A connection to the endpoint that has not registered within this time
    // is closed; of those waiting, the oldest goes once more than
    // maxUnregistered wait (a newcomer is never refused).
    int registrationTimeoutMs = 3000;
    std::size_t maxUnregistered = 64;
    // What waits for a stalled application at most, in messages and in
    // bytes; beyond either, its oldest messages are dropped (and counted), as
    // a full receive queue on the gateway would drop them.
    std::size_t stallHeldMessages = 65536;
    std::size_t stallHeldBytes = 4 * 1024 * 1024;
    // The signal databases of the simulated nodes: for one bus (0 to 4), or
    // for every bus (-1).
    Vehicle::Databases nodeDatabases;
    // The signal databases of --dbc, for the decoded views (watch, decode);
    // none: those commands are refused and nothing is decoded.
    std::shared_ptr<const signaldb::BusDatabases> signalDatabases;
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
    // A replay command answers once the replay ended (a fast one) or its
    // first frames went out (one with the log's timing), or after this long.
    static constexpr int kReplayAnswerMs = 2000;
    // Output to the applications is written at most once per interval while
    // frames keep coming (a frame after a quiet spell goes out at once), and
    // at once when this much has gathered. The interval is the short one
    // while writes are small, and the long one after a write that carried
    // kBusyFlushBytes or more on average to the applications written: at high
    // rates each write then carries more, for fewer writes and wake-ups of
    // the applications.
    static constexpr std::int64_t kFlushIntervalUs = 350;
    static constexpr std::int64_t kBusyFlushIntervalUs = 500;
    static constexpr std::size_t kBusyFlushBytes = 256;
    static constexpr std::size_t kFlushBytes = 256 * 1024;
    // An application whose socket is full is tried again after this long; it
    // is dropped once its socket has taken nothing for kStallLimitUs or more
    // than kOutboxLimitBytes wait for it, so that it never holds up the buses.
    static constexpr std::int64_t kRetryUs = 2000;
    static constexpr std::int64_t kStallLimitUs = 5'000'000;
    static constexpr std::size_t kOutboxLimitBytes = 8 * 1024 * 1024;
    // A frame that ends within this long is waited for to the microsecond
    // (waits for the applications' sockets count in milliseconds).
    static constexpr std::int64_t kPreciseWaitUs = 2000;
    // How late a simulated node's message may go to share a wake-up of the
    // worker: 2.5 % of a 10 ms cycle, far inside the timing check's 10 %.
    static constexpr std::int64_t kNodeSlackUs = 250;
    // The wall-clock times of frames on buses with a bit rate keep one
    // offset from the monotonic clock until the two part by more than this.
    static constexpr std::int64_t kWallResyncUs = 1000;

    explicit Simulator(SimulatorOptions options);
    ~Simulator() override;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Makes the endpoint's folder and the data folder where missing, opens
    // the logs, starts the worker and serves the endpoint. Whether the
    // folders can be made is checked before any is made; a failed start
    // removes the folders it made. 0, or a negative errno value with the
    // reason in `*error` (for a folder: which one, and why).
    int Start(std::string* error);
    // Ends the replay, the server and the worker. Idempotent.
    void Stop();

    // Runs one operator command line.
    Reply Execute(const std::string& line);
    Reply Execute(const Command& command);

    // Puts a frame from a CAN tool (`tool` numbers its connection) on its
    // bus, as the operator's; waits while the worker's queue is full. 1 when
    // taken; 0 when the tool's transmit queue on that bus is full (the frame
    // is not taken: offer it again later); -1 once the simulator is stopping.
    int Inject(const CanFrame& frame, std::int32_t tool);

    // What the platform holds in the EEPROM of the application at
    // `address` now, saved or not: `length` bytes from `offset` into `*out`.
    // 0, -EBUSY while its file is being read or written (ask again),
    // -EFAULT past its end, -ETIMEDOUT when the worker did not answer,
    // -ESHUTDOWN once the simulator is stopping, or a file's errno value.
    int EepromHeld(std::int32_t address, std::size_t offset, std::size_t length, std::vector<std::uint8_t>* out);

    const SimulatorOptions& Options() const { return options_; }

private:
    // ServiceHost
    void Send(std::int32_t address, std::int32_t category, std::int32_t command, const std::uint8_t* data,
              std::size_t length) override;
    // Reports a line of the class that its start tells ("J1939:", "timing:",
    // "application ...").
    void Report(const std::string& line) override;
    void Report(ReportClass kind, const std::string& line);
    void Note(const std::string& kind, const std::string& detail) override;
    // A fault's report line as an event.
    void FaultEvent(const std::string& line);
    bool Silenced(ReportClass kind) const { return options_.quiet || (options_.silenced & kind) != 0; }
    // The timing check's name of a frame's sender.
    static TimingChecker::Sender SenderOf(const Origin& origin);
    static std::string SenderText(std::uint32_t sender);
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
    struct Application;
    // Keeps a message for a stalled application, within the bounds of the options.
    void Hold(std::int32_t address, Application& app, std::int32_t category, std::int32_t command,
              const std::uint8_t* data, std::size_t length);
    // A stall has ended: what was held for the applications it stalled (and
    // no other stall holds) goes to their outboxes.
    void ReleaseHeld(std::int32_t address);
    // Writes every outbox as far as the sockets take it and drops the
    // applications that stopped reading.
    void Flush();
    void HandleMessage(std::int32_t source, PlatformServices::QRVMessage& message);
    void Joined(std::int32_t address);
    void Gone(std::int32_t address);
    void DropApplication(std::int32_t address, const std::string& reason);
    // Hands a frame to its bus at `nowUs` (monotonic): a bus with a bit rate
    // queues it for the wire, an unlimited one carries it at once.
    // `timingUs`: the time the timing check uses (-1: when it is carried).
    void Transmit(const CanFrame& frame, const Origin& origin, std::int64_t timingUs, std::int64_t nowUs);
    // Runs the buses with a bit rate up to now and carries the frames that
    // finished. When the next frame ends, or -1.
    std::int64_t AdvanceBuses();
    // Reads again from the held-back applications whose queues have room.
    void ResumeHeldBack();
    // A silence begins on `bus`: what waits there, or is on the wire, is
    // refused like the frames offered during the silence.
    void SilenceBus(std::uint8_t bus);
    // A frame that occupied its bus from `startUs` to `endUs` (monotonic;
    // equal on an unlimited bus), at `wallUs` on the wall clock (-1: now):
    // the log, the timing check, the subscribers.
    void Carry(const CanFrame& frame, const Origin& origin, std::int64_t timingUs, std::int64_t startUs,
               std::int64_t endUs, std::int64_t wallUs);
    // A frame of a tool or the replay has left its transmit queue: room for
    // the next.
    void ReleaseQueued(const Origin& origin, std::uint8_t bus);
    // Hands a batch of replayed frames to the worker.
    bool Replay(ReplayBatch& batch);
    Reply StartReplay(const Command& command);
    Reply ReplayStatus() const;
    // Percent of `bus` that its cyclic frames ask for; reports the first time
    // it exceeds the bus.
    double CheckDemand(std::uint8_t bus);
    void NoteLogFailure();

    // Runs `task` on the worker and waits (bounded) for its reply.
    Reply OnWorker(std::function<Reply()> task);
    Reply List() const;
    Reply Timing();
    Reply J1939Network() const;
    // watch, unwatch, decode (worker).
    Reply SignalCommand(const Command& command);
    // A line of the decoded views on standard output.
    void PrintDecoded(const std::string& line);

    SimulatorOptions options_;
    std::mutex reportLock_;
    PlatformServices::IPCServer server_;
    EventQueue queue_;
    std::thread worker_;
    bool started_ = false;
    Replayer replayer_;

    // Frames of the CAN tools (by connection) and of the replay (by bus)
    // handed to the worker and not yet carried: each may have at most
    // CanBus::kQueueDepth on the way, so that they are paced by the bus.
    std::mutex queuedLock_;
    std::condition_variable queuedFreed_;
    std::map<std::int32_t, std::size_t> toolQueued_;
    std::array<std::size_t, kCanBusCount> replayQueued_{};  // per bus
    int replayWaiting_ = 0;
    bool replayStopping_ = false;

    // Worker thread only.
    LogWriter log_;
    LogWriter j1708Log_;
    bool logFailureReported_ = false;
    bool timingFullReported_ = false;  // reported: the timing check follows no more rows
    TimingChecker timing_;
    BusLoad load_;
    std::array<bool, kCanBusCount> overbooked_{};  // reported: cyclic frames ask for more than the bus
    std::vector<CanBus> buses_;                    // by number
    std::vector<CanBus::Finished> finished_;       // frames that ended in one step of the buses
    std::set<std::int32_t> heldBack_;              // applications not read while their transmit queue is full
    std::set<CanSender> droppedReported_;          // senders whose lost frames were reported
    std::int64_t wallOffsetUs_ = 0;                // wall clock minus monotonic clock for the wire's times
    bool wallOffsetKnown_ = false;
    std::unique_ptr<SignalMonitor> signals_;  // with signal databases only
    CanService can_;
    J1939Service j1939_;
    J1708Service j1708_;
    EepromService eeprom_;
    PluginService plugin_;
    // The simulated nodes' way to the J1939 network, the clock and the reports.
    class NodeLink final : public Vehicle::Link {
    public:
        NodeLink(J1939Service& j1939, ServiceHost& host) : j1939_(j1939), host_(host) {}
        std::int64_t NowUs() override;
        void Report(const std::string& line) override { host_.Report(line); }
        bool Claim(std::int32_t owner, std::uint8_t bus, std::uint8_t address, std::uint64_t name) override {
            return j1939_.ClaimForNode(owner, bus, address, name);
        }
        void Release(std::int32_t owner, std::uint8_t bus, std::uint8_t address) override {
            j1939_.ReleaseNode(owner, bus, address);
        }
        bool Holds(std::int32_t owner, std::uint8_t bus, std::uint8_t address) const override {
            return j1939_.NodeHolds(owner, bus, address);
        }
        bool Send(std::int32_t owner, std::uint8_t bus, const J1939Header& header, const std::uint8_t* data,
                  std::size_t length) override {
            return j1939_.SendFromNode(owner, bus, header, data, length);
        }
        void SendFrame(std::int32_t owner, const CanFrame& frame) override {
            host_.PutOnBus(frame, Origin{Origin::Kind::kJ1939, owner});
        }

    private:
        J1939Service& j1939_;
        ServiceHost& host_;
    };
    NodeLink nodeLink_;
    Vehicle vehicle_;
    // What waits to be written to one application: whole frames, of which
    // the first `sent` bytes went out. All of an application's frames of one
    // pass of the worker go out in one write.
    struct Outbox {
        std::vector<std::uint8_t> bytes;
        std::size_t sent = 0;
        std::uint64_t connection = 0;    // the server's name of the connection written to
        std::int64_t stalledSinceUs = 0; // 0, or when its socket last took nothing
    };
    // What went to an application while it was stalled: whole messages from
    // `start` on, the oldest first.
    struct Held {
        std::vector<std::uint8_t> bytes;
        std::size_t start = 0;
        std::size_t messages = 0;
        std::uint64_t dropped = 0;
    };
    struct Application {
        std::int64_t connectedMs = 0;
        std::uint64_t messages = 0;
        Outbox out;
        Held held;
    };
    std::map<std::int32_t, Application> applications_;
    std::set<std::int32_t> dropping_;  // disconnected by us, their end not yet reported
    // Addresses reported as refused for being in use, and as ones to avoid:
    // each is reported once.
    std::set<std::int32_t> refusedReported_;
    std::set<std::int32_t> avoidedReported_;
    // Asked for every message and delivery: nearly always none is dropping.
    bool Dropping(std::int32_t address) const { return !dropping_.empty() && dropping_.count(address) != 0; }
    std::size_t queuedBytes_ = 0;      // in outboxes since the last flush
    std::int64_t lastFlushUs_ = 0;
    std::int64_t flushIntervalUs_ = kFlushIntervalUs;  // the interval after the last write
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
