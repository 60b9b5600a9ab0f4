#include "Simulator.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>

#include "services/Wire.h"

namespace gatewaysim {

using PlatformServices::QRVMessage;

std::int64_t MonotonicUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t WallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace {

// Creates `path` and its missing parents.
int MakeFolders(const std::string& path) {
    if (path.empty()) return -EINVAL;
    std::string partial;
    std::size_t i = 0;
    while (i <= path.size()) {
        const std::size_t slash = path.find('/', i);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        partial = path.substr(0, end);
        i = end + 1;
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0755) < 0 && errno != EEXIST) return -errno;
    }
    struct stat status;
    if (::stat(path.c_str(), &status) < 0) return -errno;
    return S_ISDIR(status.st_mode) ? 0 : -ENOTDIR;
}

std::int32_t ServiceAddress(std::int32_t category) {
    switch (category) {
        case kCategoryCan: return kAddressCan;
        case kCategoryJ1939: return kAddressJ1939;
        case kCategoryJ1708: return kAddressJ1708;
        default: return kAddressCustomApp;
    }
}

}  // namespace

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)),
      server_(kAddressCustomApp),
      queue_(kQueueCapacity, [this] { server_.Wake(); }),
      replayer_([this](const LogEntry& entry, bool fast) { return Replay(entry, fast); },
                [this](const std::string& line) { Report(line); }),
      can_(*this),
      j1939_(*this, J1939Transport::Options{options_.tpPacketGapMs}),
      j1708_(*this),
      eeprom_(*this, options_.dataFolder, options_.eepromSize, options_.fileMode),
      plugin_(*this, options_.pluginFolder, options_.TEST_summaryComputing),
      faults_([this](const std::string& line) { Report(line); }) {
    for (std::uint8_t bus = 0; bus < kCanBusCount; ++bus) load_.SetBitrate(bus, options_.bitrates[bus]);
}

Simulator::~Simulator() {
    Stop();
}

int Simulator::Start(std::string* error) {
    const auto fail = [&](int code, const std::string& what) {
        if (error) *error = what + ": " + std::strerror(-code);
        return code;
    };
    if (started_) return fail(-EALREADY, "already started");
    int result = MakeFolders(options_.dataFolder);
    if (result != 0) return fail(result, "data folder " + options_.dataFolder);
    // CAN tools read the CAN log, and none of them takes a J1708 line: the
    // J1708 frames have a log of their own.
    if (!options_.j1708LogPath.empty() && options_.j1708LogPath != "-" &&
        options_.j1708LogPath == options_.logPath)
        return fail(-EINVAL, "the J1708 log and the CAN log must be different files");
    if (!options_.logPath.empty()) {
        result = log_.Open(options_.logPath);
        if (result != 0) return fail(result, "log " + options_.logPath);
    }
    if (!options_.j1708LogPath.empty()) {
        result = j1708Log_.Open(options_.j1708LogPath);
        if (result != 0) {
            log_.Close();
            return fail(result, "J1708 log " + options_.j1708LogPath);
        }
    }
    // The platform's own CAs are on the buses before any application.
    j1939_.AddStaticCas(options_.staticCas);

    // The worker runs the server's I/O beside the services: what applications
    // send is handled as it is read, without a hand-over between threads.
    server_.SetMessageViewHandler([this](std::int32_t source, QRVMessage& message) {
        HandleMessage(source, message);
        if (queuedBytes_ >= kFlushBytes) Flush();
    });
    server_.SetConnectionHandler([this](std::int32_t address, bool connected) {
        if (connected) {
            Joined(address);
        } else {
            Gone(address);
        }
    });
    PlatformServices::IPCServer::Limits limits;
    limits.registrationTimeoutMs = options_.registrationTimeoutMs;
    limits.maxUnregistered = options_.maxUnregistered;
    limits.socketMode = options_.fileMode;
    server_.SetLimits(limits);
    result = server_.Start(options_.endpoint, PlatformServices::IPCServer::Threading::kDriven);
    if (result != 0) {
        log_.Close();
        j1708Log_.Close();
        return fail(result, "endpoint " + options_.endpoint);
    }
    try {
        worker_ = std::thread(&Simulator::Run, this);
    } catch (const std::system_error& e) {
        server_.Stop();
        log_.Close();
        j1708Log_.Close();
        return fail(-(e.code().value() != 0 ? e.code().value() : EAGAIN), "worker thread");
    }
    started_ = true;
    return 0;
}

void Simulator::Stop() {
    replayer_.Stop();
    queue_.Close();
    if (worker_.joinable()) worker_.join();
    // The worker is gone: the applications' ends are reported here.
    server_.Stop();
    log_.Close();
    j1708Log_.Close();
    started_ = false;
}

void Simulator::Run() {
    std::vector<Event> batch;
    for (;;) {
        // The J1939 network's timed work (transport pacing and time-outs)
        // runs between events.
        const std::int64_t j1939DueMs = j1939_.Poll();
        std::int64_t dueUs = flushDueUs_;
        if (retryDueUs_ >= 0 && (dueUs < 0 || retryDueUs_ < dueUs)) dueUs = retryDueUs_;
        if (faultsDueUs_ >= 0 && (dueUs < 0 || faultsDueUs_ < dueUs)) dueUs = faultsDueUs_;
        if (!timers_.empty() && (dueUs < 0 || timers_.begin()->first < dueUs)) dueUs = timers_.begin()->first;
        std::int64_t waitUs = dueUs < 0 ? -1 : std::max<std::int64_t>(0, dueUs - MonotonicUs());
        if (j1939DueMs >= 0 && (waitUs < 0 || j1939DueMs * 1000 < waitUs)) waitUs = j1939DueMs * 1000;
        if (faults_.Any() && faults_.StallsAll(MonotonicUs())) {
            // Every application stalled: nothing is read from them.
            if (!queue_.PopAll(&batch, waitUs)) break;
        } else if (flushDueUs_ >= 0) {
            // Output waits for its write: let input gather until then, and
            // read what the applications sent in one go.
            if (!queue_.PopAll(&batch, waitUs, true)) break;
            server_.Serve(0);
        } else {
            // Nothing to write: wait for the applications and the queue at once.
            if (queue_.ArmWake()) {
                server_.Serve(waitUs < 0 ? -1 : static_cast<int>((waitUs + 999) / 1000));
                queue_.DisarmWake();
            } else {
                server_.Serve(0);
            }
            if (!queue_.PopAll(&batch, 0)) break;
        }
        for (Event& event : batch) {
            if (event) event();
            event = nullptr;
            if (queuedBytes_ >= kFlushBytes) Flush();
        }
        batch.clear();
        if (faultsDueUs_ >= 0 || !timers_.empty()) RunDue(MonotonicUs());
        if (flushDueUs_ >= 0 || retryDueUs_ >= 0) {
            const std::int64_t now = MonotonicUs();
            if ((flushDueUs_ >= 0 && now >= flushDueUs_) || (retryDueUs_ >= 0 && now >= retryDueUs_)) Flush();
        }
    }
}

void Simulator::Flush() {
    const std::int64_t now = MonotonicUs();
    bool full = false;
    bool wrote = false;
    for (auto& [address, app] : applications_) {
        Outbox& out = app.out;
        if (out.sent == out.bytes.size()) continue;
        if (faults_.Any() && faults_.Stalls(address, now)) continue;  // written once the stall ends
        std::size_t written = 0;
        const int result = server_.WriteSome(address, out.bytes.data() + out.sent, out.bytes.size() - out.sent,
                                             &written, &out.connection);
        out.sent += written;
        wrote = wrote || written > 0;
        if (result < 0) {
            // The connection is gone (or is another's by now); its end is
            // reported by the server.
            out = Outbox();
            continue;
        }
        if (out.sent == out.bytes.size()) {
            out.bytes.clear();
            out.sent = 0;
            out.stalledSinceUs = 0;
            continue;
        }
        if (written > 0 || out.stalledSinceUs == 0) out.stalledSinceUs = now;
        if (now - out.stalledSinceUs >= kStallLimitUs || out.bytes.size() - out.sent > kOutboxLimitBytes) {
            DropApplication(address, "it does not read its messages");
            continue;
        }
        // Keep the buffer from creeping: drop what went out once it is most of it.
        if (out.sent > out.bytes.size() / 2) {
            out.bytes.erase(out.bytes.begin(), out.bytes.begin() + static_cast<std::ptrdiff_t>(out.sent));
            out.sent = 0;
        }
        full = true;
    }
    queuedBytes_ = 0;
    lastFlushUs_ = now;
    // While frames keep coming, the next interval is gathered as a whole:
    // what the applications send meanwhile is read once, at its end.
    flushDueUs_ = wrote ? now + kFlushIntervalUs : -1;
    retryDueUs_ = full ? now + kRetryUs : -1;
}

void Simulator::Joined(std::int32_t address) {
    dropping_.erase(address);
    applications_[address] = Application{MonotonicUs() / 1000, 0, Outbox()};
    Report("application " + std::to_string(address) + " connected");
}

void Simulator::Gone(std::int32_t address) {
    dropping_.erase(address);
    applications_.erase(address);
    can_.Drop(address);
    j1939_.Drop(address);
    j1708_.Drop(address);
    eeprom_.Drop(address);
    plugin_.Drop(address);
    Report("application " + std::to_string(address) + " disconnected");
}

void Simulator::DropApplication(std::int32_t address, const std::string& reason) {
    if (!dropping_.insert(address).second) return;
    const auto app = applications_.find(address);
    if (app != applications_.end()) app->second.out = Outbox();
    Report("application " + std::to_string(address) + " dropped: " + reason);
    server_.Disconnect(address);
}

void Simulator::HandleMessage(std::int32_t source, QRVMessage& message) {
    if (Dropping(source)) return;
    const auto app = applications_.find(source);
    if (app != applications_.end()) ++app->second.messages;
    if (!message.ParseChildMessages()) {
        DropApplication(source, "it sent a malformed message");
        return;
    }
    const std::int32_t category = message.GetCommand();
    const auto& children = message.GetChildMessages();
    if (children.empty()) {
        Report("application " + std::to_string(source) + ": message of category " + std::to_string(category) +
               " without content ignored");
        return;
    }
    for (const auto& child : children) {
        if (!child) continue;
        const std::int32_t command = child->GetCommand();
        const std::uint8_t* data = child->GetData();
        const std::size_t length = child->GetLength();
        switch (category) {
            case kCategoryCan:
                can_.Handle(source, command, data, length);
                break;
            case kCategoryJ1939:
                j1939_.Handle(source, command, data, length);
                break;
            case kCategoryJ1708:
                j1708_.Handle(source, command, data, length);
                break;
            case kCategoryCustomApp:
                if (command >= eeprom::kCmdRead && command <= eeprom::kCmdDestroy && (command % 2) == 1) {
                    eeprom_.Handle(source, command, data, length);
                } else {
                    plugin_.Handle(source, command, data, length);
                }
                break;
            default:
                Report("application " + std::to_string(source) + ": unknown category " + std::to_string(category) +
                       " ignored");
                return;
        }
        if (Dropping(source)) return;
    }
}

void Simulator::Send(std::int32_t address, std::int32_t category, std::int32_t command, const std::uint8_t* data,
                     std::size_t length) {
    if (faults_.Any() && (category == kCategoryCustomApp || category == kCategoryJ1939)) {
        const bool eepromAnswer = command >= eeprom::kCmdRead + 1 && command <= eeprom::kCmdDestroy + 1 &&
                                  command % 2 == 0;
        const FaultCommand::Service service = category == kCategoryJ1939 ? FaultCommand::Service::kJ1939
                                              : eepromAnswer             ? FaultCommand::Service::kEeprom
                                                                         : FaultCommand::Service::kPlugin;
        if (faults_.Withholds(service)) return;
        if (const std::int64_t delayUs = faults_.DelayUs(service); delayUs > 0) {
            if (timers_.size() >= kMaxDelayed) {
                // Bounded like every queue here: a long delay on a busy bus drops, and says so.
                if (!delayedFull_)
                    Report("fault: more than " + std::to_string(kMaxDelayed) + " messages delayed; more are dropped");
                delayedFull_ = true;
                return;
            }
            delayedFull_ = false;
            timers_.emplace(MonotonicUs() + delayUs,
                            [this, address, category, command, bytes = std::vector<std::uint8_t>(data, data + length)] {
                                Queue(address, category, command, bytes.data(), bytes.size());
                            });
            return;
        }
    }
    Queue(address, category, command, data, length);
}

void Simulator::Queue(std::int32_t address, std::int32_t category, std::int32_t command, const std::uint8_t* data,
                      std::size_t length) {
    if (Dropping(address)) return;
    const auto app = applications_.find(address);
    if (app == applications_.end()) return;
    queuedBytes_ += QRVMessage::SerializeEnvelope(app->second.out.bytes, category, address, ServiceAddress(category),
                                                  command, data, length);
    if (flushDueUs_ < 0) flushDueUs_ = lastFlushUs_ + kFlushIntervalUs;
}

void Simulator::Report(const std::string& line) {
    if (options_.quiet) return;
    std::lock_guard<std::mutex> guard(reportLock_);
    if (options_.report) {
        options_.report(line);
    } else {
        std::cerr << line << '\n';
    }
}

void Simulator::PutOnBus(const CanFrame& frame, const Origin& origin) {
    const std::int64_t now = MonotonicUs();
    PutOnBusAt(frame, origin, now, now);
}

void Simulator::NoteLogFailure() {
    if (logFailureReported_) return;
    const std::string& path = log_.Failures() > 0 ? options_.logPath : options_.j1708LogPath;
    if (log_.Failures() > 0 || j1708Log_.Failures() > 0) {
        logFailureReported_ = true;
        Report("log: a line could not be written to " + path + "; the log is incomplete");
    }
}

void Simulator::PutOnBusAt(const CanFrame& frame, const Origin& origin, std::int64_t timingUs,
                           std::int64_t nowUs) {
    if (faults_.Any() && faults_.Refuses(frame.bus, nowUs)) return;  // a silent bus carries nothing
    if (log_.IsOpen() || options_.busTap) {
        const std::int64_t wallUs = WallClockUs();
        log_.Write(wallUs, frame);
        NoteLogFailure();
        if (options_.busTap) options_.busTap(frame, origin, wallUs);
    }
    TimingChecker::Drift drift;
    if (load_.Observe(frame, nowUs)) CheckDemand(frame.bus);
    // Transport packets come in bursts of sessions, never in a period.
    if (!IsTransportFrame(frame) &&
        timing_.Observe(frame.bus, frame.extended, frame.id, timingUs, &drift, CanFrameBits(frame)) &&
        !options_.quiet) {
        char text[160];
        std::snprintf(text, sizeof(text), "timing: can%u %s interval %.1f ms, period %.1f ms (%+.1f%%)", frame.bus,
                      FormatCanFrame(frame).substr(0, frame.extended ? 8 : 3).c_str(), drift.intervalUs / 1000.0,
                      drift.periodUs / 1000.0, drift.deviationPercent);
        Report(text);
    }
    can_.Deliver(frame, origin);
    if (frame.extended && !frame.remote) j1939_.DeliverFrame(frame, origin);
}

void Simulator::PutOnJ1708(const J1708Frame& frame, const Origin& origin) {
    j1708Log_.Write(WallClockUs(), frame);
    NoteLogFailure();
    j1708_.Deliver(frame, origin);
}

void Simulator::Post(std::function<void()> task) {
    (void)queue_.Push(std::move(task));
}

bool Simulator::Replay(const LogEntry& entry, bool fast) {
    return queue_.Push([this, entry, fast] {
        const Origin origin{Origin::Kind::kReplay, 0};
        if (entry.kind == LogEntry::Kind::kCan) {
            // As fast as possible, the log's own timestamps are the only
            // meaningful ones for the timing check.
            const std::int64_t now = MonotonicUs();
            PutOnBusAt(entry.can, origin, fast ? entry.timeUs : now, now);
        } else if (entry.kind == LogEntry::Kind::kJ1708) {
            PutOnJ1708(entry.j1708, origin);
        }
    });
}

bool Simulator::Inject(const CanFrame& frame, std::int32_t tool) {
    return queue_.Push([this, frame, tool] { PutOnBus(frame, Origin{Origin::Kind::kTool, tool}); });
}

Simulator::Reply Simulator::OnWorker(std::function<Reply()> task) {
    auto promise = std::make_shared<std::promise<Reply>>();
    std::future<Reply> future = promise->get_future();
    if (!queue_.Push([promise, task = std::move(task)] { promise->set_value(task()); }))
        return Reply{false, "the simulator is stopping"};
    if (future.wait_for(std::chrono::milliseconds(kCommandTimeoutMs)) != std::future_status::ready)
        return Reply{false, "the simulator is busy; try again"};
    try {
        return future.get();
    } catch (const std::future_error&) {
        return Reply{false, "the simulator is stopping"};
    }
}

Simulator::Reply Simulator::Execute(const std::string& line) {
    Command command;
    std::string error;
    if (!ParseCommand(line, &command, &error)) return Reply{false, error};
    return Execute(command);
}

Simulator::Reply Simulator::Execute(const Command& command) {
    switch (command.kind) {
        case Command::Kind::kNothing:
            return Reply{};
        case Command::Kind::kHelp:
            return Reply{true, CommandHelp()};
        case Command::Kind::kQuit:
            if (options_.onQuit) options_.onQuit();
            return Reply{};
        case Command::Kind::kCan:
            return OnWorker([this, frame = command.can] {
                PutOnBus(frame, Origin{Origin::Kind::kOperator, 0});
                return Reply{};
            });
        case Command::Kind::kJ1708:
            return OnWorker([this, frame = command.j1708] {
                PutOnJ1708(frame, Origin{Origin::Kind::kOperator, 0});
                return Reply{};
            });
        case Command::Kind::kJob:
            return OnWorker([this, command] {
                if (applications_.count(command.address) == 0 || dropping_.count(command.address) != 0)
                    return Reply{false, "no application " + std::to_string(command.address)};
                const std::uint32_t job = plugin_.StartJob(command.address, command.mode, command.bus, command.parameter);
                return Reply{true, "job " + std::to_string(job) + " started\n"};
            });
        case Command::Kind::kList:
            return OnWorker([this] { return List(); });
        case Command::Kind::kTiming:
            return OnWorker([this] { return Timing(); });
        case Command::Kind::kJ1939:
            return OnWorker([this] { return J1939Network(); });
        case Command::Kind::kDrop:
            if (server_.Disconnect(command.address) != 0)
                return Reply{false, "no application " + std::to_string(command.address)};
            return Reply{};
        case Command::Kind::kReplay: {
            const int result = replayer_.Start(command.path, command.fast);
            if (result == -EBUSY) return Reply{false, "a replay is running (replay stop ends it)"};
            if (result != 0) return Reply{false, command.path + ": " + std::strerror(-result)};
            return Reply{};
        }
        case Command::Kind::kReplayStop:
            replayer_.Stop();
            return Reply{};
        case Command::Kind::kFault:
            return OnWorker([this, fault = command.fault] { return ApplyFault(fault); });
    }
    return Reply{false, "unknown command"};
}

namespace {

// An address claim (PGN 60928) from `address` with `name`, as a node on the
// bus sends it; from the null address 254 it says the node cannot claim.
CanFrame AddressClaim(std::uint8_t bus, std::uint8_t address, std::uint64_t name) {
    CanFrame frame;
    frame.bus = bus;
    frame.extended = true;
    frame.id = 0x18EEFF00u | address;
    frame.length = 8;
    for (int i = 0; i < 8; ++i) frame.data[i] = static_cast<std::uint8_t>(name >> (8 * i));
    return frame;
}

}  // namespace

Simulator::Reply Simulator::ApplyFault(const FaultCommand& fault) {
    const std::int64_t now = MonotonicUs();
    Faults::Ended ended;
    // A fault replaced is undone before its successor acts.
    const auto start = [&] {
        faults_.Start(fault, now, &ended);
        FaultsEnded(ended);
        ended = Faults::Ended();
    };
    switch (fault.kind) {
        case FaultCommand::Kind::kList: {
            Reply reply;
            faultsDueUs_ = faults_.Expire(now, &ended);
            FaultsEnded(ended);
            const std::vector<std::string> lines = faults_.List(now);
            if (lines.empty()) reply.text = "no fault in force\n";
            for (const std::string& line : lines) reply.text += line + "\n";
            return reply;
        }
        case FaultCommand::Kind::kClear:
            faults_.Clear(&ended);
            break;
        case FaultCommand::Kind::kStall:
            if (fault.address != 0 && (applications_.count(fault.address) == 0 || Dropping(fault.address)))
                return Reply{false, "no application " + std::to_string(fault.address)};
            start();
            if (fault.address != 0) (void)server_.Hold(fault.address, true);
            break;
        case FaultCommand::Kind::kRestart:
            start();
            for (const std::int32_t address : server_.RegisteredAddresses()) server_.Disconnect(address);
            eeprom_.Restart();
            break;
        case FaultCommand::Kind::kEepromFail:
            start();
            eeprom_.SetFailure(fault.address, fault.operation);
            break;
        case FaultCommand::Kind::kTake:
            start();
            PutOnBus(AddressClaim(fault.bus, static_cast<std::uint8_t>(fault.address), fault.name),
                     Origin{Origin::Kind::kOperator, 0});
            break;
        default:
            start();
            break;
    }
    FaultsEnded(ended);
    ended = Faults::Ended();
    faultsDueUs_ = faults_.Expire(now, &ended);
    FaultsEnded(ended);
    return Reply{};
}

void Simulator::FaultsEnded(const Faults::Ended& ended) {
    for (const std::int32_t address : ended.stalls) {
        if (address != 0) (void)server_.Hold(address, false);
    }
    // What waited for the stalled applications goes out now.
    if (!ended.stalls.empty()) flushDueUs_ = 0;
    for (const std::int32_t address : ended.eeproms) eeprom_.SetFailure(address, FaultCommand::Operation::kNone);
    for (const Faults::Node& node : ended.nodes)
        PutOnBus(AddressClaim(node.bus, 254, node.name), Origin{Origin::Kind::kOperator, 0});
}

void Simulator::RunDue(std::int64_t nowUs) {
    while (!timers_.empty() && timers_.begin()->first <= nowUs) {
        const std::function<void()> task = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        task();
    }
    if (faultsDueUs_ >= 0 && nowUs >= faultsDueUs_) {
        Faults::Ended ended;
        faultsDueUs_ = faults_.Expire(nowUs, &ended);
        FaultsEnded(ended);
    }
}

Simulator::Reply Simulator::List() const {
    Reply reply;
    const std::int64_t nowMs = MonotonicUs() / 1000;
    if (applications_.empty()) reply.text += "no application connected\n";
    for (const auto& [address, app] : applications_) {
        char head[128];
        std::snprintf(head, sizeof(head), "application %d: connected %.1f s, %llu messages%s\n", address,
                      (nowMs - app.connectedMs) / 1000.0, static_cast<unsigned long long>(app.messages),
                      dropping_.count(address) != 0 ? ", being dropped" : "");
        reply.text += head;
        const auto add = [&reply](const std::vector<std::string>& lines) {
            for (const std::string& line : lines) reply.text += "  " + line + "\n";
        };
        add(can_.Describe(address));
        add(j1939_.Describe(address));
        add(j1708_.Describe(address));
        add(eeprom_.Describe(address));
        add(plugin_.Describe(address));
    }
    for (const std::string& line : j1939_.DescribeStatic()) reply.text += line + "\n";
    for (const std::string& line : eeprom_.DescribeHeld()) reply.text += line + "\n";
    return reply;
}

Simulator::Reply Simulator::J1939Network() const {
    Reply reply;
    for (const std::string& line : j1939_.DescribeNetwork()) reply.text += line + "\n";
    return reply;
}

double Simulator::CheckDemand(std::uint8_t bus) {
    const double percent = 100.0 * timing_.CyclicBitsPerSecond(bus) / load_.Bitrate(bus);
    if (percent <= 100.0) {
        overbooked_[bus] = false;
    } else if (!overbooked_[bus]) {
        overbooked_[bus] = true;
        char text[128];
        std::snprintf(text, sizeof(text), "load: can%u: the cyclic frames ask for %.1f%% of %u kbit/s", bus, percent,
                      load_.Bitrate(bus) / 1000);
        Report(text);
    }
    return percent;
}

Simulator::Reply Simulator::Timing() {
    Reply reply;
    const std::int64_t now = MonotonicUs();
    for (std::uint8_t bus = 0; bus < kCanBusCount; ++bus) {
        const double demand = CheckDemand(bus);
        char line[160];
        std::snprintf(line, sizeof(line), "can%u %u kbit/s: load %.1f%% in the last second, cyclic frames ask for %.1f%%%s\n",
                      bus, load_.Bitrate(bus) / 1000, load_.LoadPercent(bus, now), demand,
                      demand > 100.0 ? ", more than the bus can carry" : "");
        reply.text += line;
    }
    const std::vector<TimingChecker::Entry> entries = timing_.Entries();
    if (entries.empty()) reply.text += "no frames seen\n";
    for (const TimingChecker::Entry& e : entries) {
        CanFrame frame;
        frame.extended = e.extended;
        frame.id = e.id;
        char line[160];
        if (e.periodUs > 0) {
            std::snprintf(line, sizeof(line), "can%u %s period %.1f ms, %llu frames, %llu drifts\n", e.bus,
                          FormatCanFrame(frame).substr(0, e.extended ? 8 : 3).c_str(), e.periodUs / 1000.0,
                          static_cast<unsigned long long>(e.frames), static_cast<unsigned long long>(e.drifts));
        } else {
            std::snprintf(line, sizeof(line), "can%u %s not cyclic, %llu frames, %llu drifts\n", e.bus,
                          FormatCanFrame(frame).substr(0, e.extended ? 8 : 3).c_str(),
                          static_cast<unsigned long long>(e.frames), static_cast<unsigned long long>(e.drifts));
        }
        reply.text += line;
    }
    return reply;
}

}  // namespace gatewaysim
