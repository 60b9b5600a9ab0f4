#include "Simulator.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <utility>
#include <vector>

#include "services/Wire.h"

namespace gatewaysim {

using PlatformServices::QRVMessage;

std::int64_t Simulator::NodeLink::NowUs() { return MonotonicUs(); }

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

// The folders from `path` up to its first existing ancestor, nearest to the
// root first: the ones that creating `path` would make. Fails, naming the
// folder in `*culprit`, when an existing part is not a folder or the first
// missing one may not be made (checked with access(2), so nothing is created).
int MissingFolders(const std::string& path, std::vector<std::string>* missing, std::string* culprit) {
    if (path.empty()) return -EINVAL;
    missing->clear();
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    std::string folder = path.substr(0, end);
    while (!folder.empty()) {
        struct stat status;
        if (::stat(folder.c_str(), &status) == 0) {
            *culprit = folder;
            if (!S_ISDIR(status.st_mode)) return -ENOTDIR;
            break;
        }
        if (errno != ENOENT && errno != ENOTDIR) {
            *culprit = folder;
            return -errno;
        }
        missing->insert(missing->begin(), folder);
        const std::size_t slash = folder.find_last_of('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    }
    if (!missing->empty() && ::access(folder.c_str(), W_OK | X_OK) != 0) {
        *culprit = missing->front();
        return -errno;
    }
    return 0;
}

// The folder that holds `path` ("." for a bare name).
std::string ParentFolder(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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

ReportClass ReportClassNamed(const std::string& name) {
    if (name == "timing") return kReportTiming;
    if (name == "j1939") return kReportJ1939;
    if (name == "applications") return kReportApplications;
    if (name == "replay") return kReportReplay;
    return kReportOther;
}

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)),
      server_(kAddressCustomApp),
      queue_(kQueueCapacity, [this] { server_.Wake(); }),
      replayer_([this](ReplayBatch& batch) { return Replay(batch); },
                [this](const std::string& line) { Report(kReportReplay, line); },
                // On a bus with a bit rate a batch is half the replay's
                // transmit queue: the next one is handed over while the other
                // half keeps the bus busy, so that a fast replay never lets
                // the bus fall idle between batches.
                std::any_of(options_.bitrates.begin(), options_.bitrates.end(),
                            [](std::uint32_t bitrate) { return bitrate != BusLoad::kUnlimited; })
                    ? CanBus::kQueueDepth / 2
                    : Replayer::kMaxBatch,
                std::none_of(options_.bitrates.begin(), options_.bitrates.end(),
                             [](std::uint32_t bitrate) { return bitrate == BusLoad::kUnlimited; })
                    ? Replayer::kGatherOnWiresUs
                    : Replayer::kGatherUs),
      timing_(options_.timingTolerancePercent / 100.0),
      can_(*this),
      j1939_(*this, J1939Transport::Options{options_.tpPacketGapMs}),
      j1708_(*this),
      eeprom_(*this, options_.dataFolder, options_.eepromSize, options_.fileMode),
      plugin_(*this, options_.pluginFolder, options_.TEST_summaryComputing),
      nodeLink_(j1939_, *this),
      vehicle_(nodeLink_, options_.nodeDatabases),
      faults_([this](const std::string& line) {
          FaultEvent(line);
          Report(line);
      }) {
    if (options_.signalDatabases) {
        signals_ = std::make_unique<SignalMonitor>(*options_.signalDatabases,
                                                   [this](const std::string& line) { PrintDecoded(line); });
    }
    buses_.reserve(kCanBusCount);
    for (std::uint8_t bus = 0; bus < kCanBusCount; ++bus) {
        load_.SetBitrate(bus, options_.bitrates[bus]);
        buses_.emplace_back(options_.bitrates[bus]);
    }
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
    {
        std::lock_guard<std::mutex> guard(queuedLock_);
        replayStopping_ = false;
    }
    // Every check that can fail runs before anything is created.
    // CAN tools read the CAN log, and none of them takes a J1708 line: the
    // J1708 frames have a log of their own.
    if (!options_.j1708LogPath.empty() && options_.j1708LogPath != "-" &&
        options_.j1708LogPath == options_.logPath)
        return fail(-EINVAL, "the J1708 log and the CAN log must be different files");
    if (options_.endpoint.empty()) return fail(-EINVAL, "no endpoint");
    if (options_.endpoint.size() >= sizeof(sockaddr_un{}.sun_path))
        return fail(-ENAMETOOLONG, "endpoint " + options_.endpoint);
    // The folders to make: the endpoint's, then the data folder.
    std::vector<std::string> toMake;
    const std::pair<std::string, std::string> wanted[] = {
        {ParentFolder(options_.endpoint), "the endpoint " + options_.endpoint},
        {options_.dataFolder, "the data folder " + options_.dataFolder}};
    for (const auto& [folder, purpose] : wanted) {
        std::vector<std::string> missing;
        std::string culprit;
        const int result = MissingFolders(folder, &missing, &culprit);
        if (result != 0) {
            const bool absent = std::find(missing.begin(), missing.end(), culprit) != missing.end();
            return fail(result, (absent ? "cannot create folder " : "cannot use folder ") + culprit + " (for " +
                                    purpose + ")");
        }
        for (const std::string& each : missing)
            if (std::find(toMake.begin(), toMake.end(), each) == toMake.end()) toMake.push_back(each);
    }
    // Undoes what this start made when a later step fails; a folder that
    // something else filled in the meantime stays.
    std::vector<std::string> made;
    const auto undo = [&] {
        log_.Close();
        j1708Log_.Close();
        for (auto it = made.rbegin(); it != made.rend(); ++it) ::rmdir(it->c_str());
    };
    for (const std::string& folder : toMake) {
        if (::mkdir(folder.c_str(), 0755) == 0) {
            made.push_back(folder);
        } else if (errno != EEXIST) {
            const int code = -errno;
            undo();
            return fail(code, "cannot create folder " + folder);
        }
    }
    int result = 0;
    if (!options_.logPath.empty()) {
        result = log_.Open(options_.logPath, options_.logAppend, options_.fileMode);
        if (result == -EEXIST) {
            undo();
            if (error)
                *error = "log " + options_.logPath + " exists and is not empty (--log-append " + options_.logPath +
                         " adds to it)";
            return result;
        }
        if (result != 0) {
            undo();
            return fail(result, "log " + options_.logPath);
        }
    }
    if (!options_.j1708LogPath.empty()) {
        result = j1708Log_.Open(options_.j1708LogPath, options_.j1708LogAppend, options_.fileMode);
        if (result != 0) {
            undo();
            if (result == -EEXIST && error) {
                *error = "J1708 log " + options_.j1708LogPath + " exists and is not empty (--j1708-log-append " +
                         options_.j1708LogPath + " adds to it)";
                return result;
            }
            return fail(result, "J1708 log " + options_.j1708LogPath);
        }
    }
    log_.SetStandardOutputSink(options_.standardOutput);
    j1708Log_.SetStandardOutputSink(options_.standardOutput);
    // The platform's own CAs are on the buses before any application.
    j1939_.SetNodeListener(&vehicle_);
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
    server_.SetRefusalHandler([this](std::int32_t address, std::int32_t result) {
        if (result != -EADDRINUSE || !refusedReported_.insert(address).second) return;
        Report("application " + std::to_string(address) +
               ": a second connection refused (-98): another application holds the address");
    });
    PlatformServices::IPCServer::Limits limits;
    limits.registrationTimeoutMs = options_.registrationTimeoutMs;
    limits.maxUnregistered = options_.maxUnregistered;
    limits.socketMode = options_.fileMode;
    server_.SetLimits(limits);
    result = server_.Start(options_.endpoint, PlatformServices::IPCServer::Threading::kDriven);
    if (result != 0) {
        undo();
        return fail(result, "endpoint " + options_.endpoint);
    }
    try {
        worker_ = std::thread(&Simulator::Run, this);
    } catch (const std::system_error& e) {
        server_.Stop();
        undo();
        return fail(-(e.code().value() != 0 ? e.code().value() : EAGAIN), "worker thread");
    }
    started_ = true;
    return 0;
}

void Simulator::Stop() {
    {
        std::lock_guard<std::mutex> guard(queuedLock_);
        replayStopping_ = true;
    }
    queuedFreed_.notify_all();
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
        // The simulated nodes' cyclic messages go first, so that the
        // network's pacing counts what they started.
        const std::int64_t nodesDueUs = vehicle_.Empty() ? -1 : vehicle_.Poll(MonotonicUs());
        // The J1939 network's timed work (transport pacing and time-outs)
        // runs between events.
        const std::int64_t j1939DueMs = j1939_.Poll();
        // The buses carry what finished by now. The next frame's end is a
        // moment to wake for, as precisely as the clock allows, unless output
        // waits for its write: then the frames that end until the write are
        // carried just before it and go out with it (their times are those
        // of the wire all the same).
        const std::int64_t busDueUs = AdvanceBuses();
        std::int64_t dueUs = flushDueUs_;
        if (retryDueUs_ >= 0 && (dueUs < 0 || retryDueUs_ < dueUs)) dueUs = retryDueUs_;
        if (faultsDueUs_ >= 0 && (dueUs < 0 || faultsDueUs_ < dueUs)) dueUs = faultsDueUs_;
        if (!timers_.empty() && (dueUs < 0 || timers_.begin()->first < dueUs)) dueUs = timers_.begin()->first;
        if (busDueUs >= 0 && flushDueUs_ < 0 && (dueUs < 0 || busDueUs < dueUs)) dueUs = busDueUs;
        // A node's message rides on a wake-up that comes within
        // kNodeSlackUs of its time anyway: under load the worker wakes
        // every write interval, and a wake-up of its own for each message
        // of twenty nodes would cost more than the messages.
        if (nodesDueUs >= 0 && (dueUs < 0 || dueUs > nodesDueUs + kNodeSlackUs)) dueUs = nodesDueUs;
        std::int64_t waitUs = dueUs < 0 ? -1 : std::max<std::int64_t>(0, dueUs - MonotonicUs());
        if (j1939DueMs >= 0 && (waitUs < 0 || j1939DueMs * 1000 < waitUs)) waitUs = j1939DueMs * 1000;
        if (faults_.Any() && faults_.StallsAll(MonotonicUs())) {
            // Every application stalled: nothing is read from them.
            if (!queue_.PopAll(&batch, waitUs)) break;
        } else if (flushDueUs_ >= 0 || (busDueUs >= 0 && waitUs < kPreciseWaitUs)) {
            // Output waits for its write, or a frame ends soon: let input
            // gather until then (waiting to the microsecond), and read what
            // the applications sent in one go.
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
            if ((flushDueUs_ >= 0 && now >= flushDueUs_) || (retryDueUs_ >= 0 && now >= retryDueUs_)) {
                (void)AdvanceBuses();
                Flush();
            }
        }
    }
}

void Simulator::Flush() {
    const std::int64_t now = MonotonicUs();
    bool full = false;
    bool wrote = false;
    std::size_t writtenBytes = 0;
    std::size_t writtenApps = 0;
    for (auto& [address, app] : applications_) {
        Outbox& out = app.out;
        if (out.sent == out.bytes.size()) continue;
        if (faults_.Any() && faults_.Stalls(address, now)) continue;  // written once the stall ends
        std::size_t written = 0;
        const int result = server_.WriteSome(address, out.bytes.data() + out.sent, out.bytes.size() - out.sent,
                                             &written, &out.connection);
        out.sent += written;
        wrote = wrote || written > 0;
        writtenBytes += written;
        if (written > 0) ++writtenApps;
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
    flushIntervalUs_ = writtenApps > 0 && writtenBytes >= kBusyFlushBytes * writtenApps ? kBusyFlushIntervalUs
                                                                                        : kFlushIntervalUs;
    flushDueUs_ = wrote ? now + flushIntervalUs_ : -1;
    retryDueUs_ = full ? now + kRetryUs : -1;
}

void Simulator::Joined(std::int32_t address) {
    dropping_.erase(address);
    applications_[address] = Application{MonotonicUs() / 1000, 0, Outbox(), Held()};
    // A stall holds for whichever connection has the address.
    if (faults_.Any() && faults_.StallsOne(address, MonotonicUs())) (void)server_.PauseReading(address);
    // Rows of an earlier connection at this address are no guide to this one.
    timing_.Forget(SenderOf(Origin{Origin::Kind::kApplication, address}).id);
    timing_.Forget(SenderOf(Origin{Origin::Kind::kJ1939, address}).id);
    Report("application " + std::to_string(address) + " connected");
    const bool platforms = address == kAddressJ1939 || address == kAddressCustomApp || address == kAddressCan;
    if ((platforms || address > 253) && avoidedReported_.insert(address).second)
        Report("application " + std::to_string(address) + ": " +
               (platforms ? "the platform's services use this address"
                          : std::string("the platform's addresses end at 253")) +
               "; take one from 1 to 253 other than 13 and 22");
    Note("application-connected", "application " + std::to_string(address));
}

void Simulator::Gone(std::int32_t address) {
    dropping_.erase(address);
    heldBack_.erase(address);
    applications_.erase(address);
    can_.Drop(address);
    j1939_.Drop(address);
    j1708_.Drop(address);
    eeprom_.Drop(address);
    plugin_.Drop(address);
    timing_.Forget(SenderOf(Origin{Origin::Kind::kApplication, address}).id);
    timing_.Forget(SenderOf(Origin{Origin::Kind::kJ1939, address}).id);
    Report("application " + std::to_string(address) + " disconnected");
    Note("application-gone", "application " + std::to_string(address));
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
    if (faults_.Any() && faults_.Stalls(address, MonotonicUs())) {
        Hold(address, app->second, category, command, data, length);
        return;
    }
    queuedBytes_ += QRVMessage::SerializeEnvelope(app->second.out.bytes, category, address, ServiceAddress(category),
                                                  command, data, length);
    if (flushDueUs_ < 0) flushDueUs_ = lastFlushUs_ + flushIntervalUs_;
}

void Simulator::Hold(std::int32_t address, Application& app, std::int32_t category, std::int32_t command,
                     const std::uint8_t* data, std::size_t length) {
    Held& held = app.held;
    if (QRVMessage::SerializeEnvelope(held.bytes, category, address, ServiceAddress(category), command, data,
                                      length) == 0)
        return;
    ++held.messages;
    // The oldest go first, as from a full receive queue; the newest stays.
    while (held.messages > 1 &&
           (held.messages > options_.stallHeldMessages || held.bytes.size() - held.start > options_.stallHeldBytes)) {
        held.start += QRVMessage::kLengthPrefixBytes + GetU32(held.bytes.data() + held.start);
        --held.messages;
        ++held.dropped;
    }
    if (held.start > held.bytes.size() / 2) {
        held.bytes.erase(held.bytes.begin(), held.bytes.begin() + static_cast<std::ptrdiff_t>(held.start));
        held.start = 0;
    }
}

void Simulator::ReleaseHeld(std::int32_t address) {
    const std::int64_t now = MonotonicUs();
    for (auto& [each, app] : applications_) {
        if (address != 0 && each != address) continue;
        if (faults_.Any() && faults_.Stalls(each, now)) continue;  // another stall still holds it
        Held held = std::move(app.held);
        app.held = Held();
        if (held.dropped > 0)
            Report("application " + std::to_string(each) + ": " + std::to_string(held.dropped) +
                   " messages to it dropped during the stall, the oldest first");
        if (held.messages == 0 || Dropping(each)) continue;
        app.out.bytes.insert(app.out.bytes.end(), held.bytes.begin() + static_cast<std::ptrdiff_t>(held.start),
                             held.bytes.end());
        queuedBytes_ += held.bytes.size() - held.start;
    }
}

void Simulator::Report(const std::string& line) {
    ReportClass kind = kReportOther;
    if (line.compare(0, 6, "J1939:") == 0 || line.compare(0, 5, "node ") == 0) {
        kind = kReportJ1939;
    } else if (line.compare(0, 12, "application ") == 0) {
        kind = kReportApplications;
    } else if (line.compare(0, 7, "timing:") == 0 || line.compare(0, 5, "load:") == 0) {
        kind = kReportTiming;
    }
    Report(kind, line);
}

void Simulator::Report(ReportClass kind, const std::string& line) {
    if (Silenced(kind)) return;
    std::lock_guard<std::mutex> guard(reportLock_);
    if (options_.report) {
        options_.report(line);
    } else {
        std::cerr << line << '\n';
    }
}

void Simulator::Note(const std::string& kind, const std::string& detail) {
    if (!options_.event) return;
    report::Event event;
    event.timeUs = WallClockUs();
    event.kind = kind;
    event.detail = detail;
    options_.event(event);
}

void Simulator::PutOnBus(const CanFrame& frame, const Origin& origin) {
    Transmit(frame, origin, -1, MonotonicUs());
}

void Simulator::Transmit(const CanFrame& frame, const Origin& origin, std::int64_t timingUs, std::int64_t nowUs) {
    if (frame.bus >= kCanBusCount) return;
    CanBus& bus = buses_[frame.bus];
    if (faults_.Any() && faults_.Refuses(frame.bus, nowUs)) {
        // A silent bus carries nothing; the sender's place in its queue is free.
        if (bus.Bitrate() != BusLoad::kUnlimited) ReleaseQueued(origin, frame.bus);
        return;
    }
    if (bus.Bitrate() == BusLoad::kUnlimited) {
        Carry(frame, origin, timingUs >= 0 ? timingUs : nowUs, nowUs, nowUs, -1);
        return;
    }
    const bool application = (origin.kind == Origin::Kind::kApplication || origin.kind == Origin::Kind::kJ1939) &&
                             origin.address > 0;
    switch (bus.Offer(frame, origin, nowUs, timingUs)) {
        case CanBus::Offered::kQueued:
            break;
        case CanBus::Offered::kQueuedFull:
            // As a controller whose transmit buffers are taken: the
            // application's further messages wait in its socket.
            if (application && applications_.count(origin.address) != 0 && heldBack_.insert(origin.address).second)
                (void)server_.PauseReading(origin.address);
            break;
        case CanBus::Offered::kDropped: {
            ReleaseQueued(origin, frame.bus);
            const CanSender sender = CanSender::Of(frame, origin);
            if (droppedReported_.insert(sender).second)
                Report("can" + std::to_string(frame.bus) + ": the transmit queue of " + sender.Text() +
                       " is full; its frames are dropped (counted in timing)");
            break;
        }
    }
}

std::int64_t Simulator::AdvanceBuses() {
    if (std::none_of(buses_.begin(), buses_.end(), [](const CanBus& bus) { return bus.NextDueUs() >= 0; }))
        return -1;
    const std::int64_t now = MonotonicUs();
    // The wire's times go to the wall clock at one offset, so that their
    // spacing is the wire's; it follows the wall clock when that has moved
    // (set or slewed) by more than kWallResyncUs.
    const std::int64_t sampled = WallClockUs() - now;
    if (!wallOffsetKnown_ || std::llabs(sampled - wallOffsetUs_) > kWallResyncUs) {
        wallOffsetUs_ = sampled;
        wallOffsetKnown_ = true;
    }
    const std::int64_t wallOffset = wallOffsetUs_;
    bool carried = false;
    // Every bus's frames that ended by now, in the order they ended: the log
    // and the applications see time go forward across the buses.
    const std::int64_t due = AdvanceInWireOrder(buses_, now, &finished_, [&](const CanBus::Finished& f) {
        carried = true;
        Carry(f.frame, f.origin, f.timingUs >= 0 ? f.timingUs : f.endUs, f.startUs, f.endUs, f.endUs + wallOffset);
    });
    if (carried) ResumeHeldBack();
    return due;
}

void Simulator::ResumeHeldBack() {
    for (auto it = heldBack_.begin(); it != heldBack_.end();) {
        const Origin raw{Origin::Kind::kApplication, *it};
        const Origin hosted{Origin::Kind::kJ1939, *it};
        const bool full = std::any_of(buses_.begin(), buses_.end(), [&](const CanBus& bus) {
            return bus.HoldsBack(raw) || bus.HoldsBack(hosted);
        });
        if (full) {
            ++it;
        } else {
            (void)server_.ResumeReading(*it);
            it = heldBack_.erase(it);
        }
    }
}

void Simulator::ReleaseQueued(const Origin& origin, std::uint8_t bus) {
    if (origin.kind != Origin::Kind::kTool && origin.kind != Origin::Kind::kReplay) return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(queuedLock_);
        if (origin.kind == Origin::Kind::kReplay) {
            if (bus < kCanBusCount && replayQueued_[bus] > 0) --replayQueued_[bus];
            wake = replayWaiting_ > 0;
        } else {
            const auto it = toolQueued_.find(origin.address);
            if (it != toolQueued_.end() && --it->second == 0) toolQueued_.erase(it);
        }
    }
    if (wake) queuedFreed_.notify_all();
}

void Simulator::NoteLogFailure() {
    if (logFailureReported_) return;
    const std::string& path = log_.Failures() > 0 ? options_.logPath : options_.j1708LogPath;
    if (log_.Failures() > 0 || j1708Log_.Failures() > 0) {
        logFailureReported_ = true;
        Report("log: a line could not be written to " + path + "; the log is incomplete");
    }
}

void Simulator::Carry(const CanFrame& frame, const Origin& origin, std::int64_t timingUs, std::int64_t startUs,
                      std::int64_t endUs, std::int64_t wallUs) {
    if (load_.Bitrate(frame.bus) != BusLoad::kUnlimited) ReleaseQueued(origin, frame.bus);
    if (log_.IsOpen() || options_.busTap) {
        if (wallUs < 0) wallUs = WallClockUs();
        log_.Write(wallUs, frame);
        NoteLogFailure();
        if (options_.busTap) options_.busTap(frame, origin, wallUs);
    }
    if (signals_ && signals_->Active()) signals_->OnFrame(wallUs < 0 ? WallClockUs() : wallUs, frame);
    TimingChecker::Drift drift;
    if (load_.Observe(frame.bus, startUs, endUs)) {
        // Once a second of the bus: the rows that stopped ask nothing of it any more.
        (void)timing_.Expire(endUs);
        CheckDemand(frame.bus);
    }
    // Transport packets come in bursts of sessions, never in a period.
    const bool drifted = !IsTransportFrame(frame) &&
                         timing_.Observe(frame.bus, frame.extended, frame.id, timingUs, &drift, CanFrameBits(frame),
                                         SenderOf(origin), endUs);
    if (!timingFullReported_ && timing_.Untracked() > 0) {
        timingFullReported_ = true;
        Report(kReportTiming, "timing: more than " + std::to_string(TimingChecker::kMaxTracked) +
                                  " rows; the frames of further ones are counted, not followed");
    }
    if (drifted && !Silenced(kReportTiming)) {
        char text[192];
        std::snprintf(text, sizeof(text), "timing: can%u %s from %s interval %.1f ms, period %.1f ms (%+.1f%%)",
                      frame.bus, FormatCanFrame(frame).substr(0, frame.extended ? 8 : 3).c_str(),
                      SenderText(drift.sender).c_str(), drift.intervalUs / 1000.0, drift.periodUs / 1000.0,
                      drift.deviationPercent);
        Report(kReportTiming, text);
    }
    can_.Deliver(frame, origin);
    if (frame.extended && !frame.remote) j1939_.DeliverFrame(frame, origin);
}

TimingChecker::Sender Simulator::SenderOf(const Origin& origin) {
    TimingChecker::Sender sender;
    // The kind in the top byte, the address (-1: the platform) below it.
    sender.id = (static_cast<std::uint32_t>(origin.kind) << 24) | (static_cast<std::uint32_t>(origin.address) & 0xFFFFFF);
    // A CA's rows wait for its address claim before their first frame.
    sender.firstIntervalHeld = origin.kind == Origin::Kind::kJ1939;
    return sender;
}

std::string Simulator::SenderText(std::uint32_t sender) {
    const std::string address = std::to_string(sender & 0xFFFFFF);
    switch (static_cast<Origin::Kind>(sender >> 24)) {
        case Origin::Kind::kApplication: return "application " + address;
        case Origin::Kind::kJ1939:
            if ((sender & 0xFFFFFF) == 0xFFFFFF) return "the platform's static CA";
            if ((sender & 0x800000) != 0) return "simulated node " + std::to_string(0xFFFFFE - (sender & 0xFFFFFF));
            return "application " + address + " (J1939)";
        case Origin::Kind::kOperator: return "the operator";
        case Origin::Kind::kReplay: return "the replay";
        case Origin::Kind::kTool: return "CAN tool " + address;
    }
    return "sender " + std::to_string(sender);
}

void Simulator::PutOnJ1708(const J1708Frame& frame, const Origin& origin) {
    j1708Log_.Write(WallClockUs(), frame);
    NoteLogFailure();
    j1708_.Deliver(frame, origin);
}

void Simulator::Post(std::function<void()> task) {
    (void)queue_.Push(std::move(task));
}

bool Simulator::Replay(ReplayBatch& batch) {
    // The replay is a sender like any other: on a bus with a bit rate its
    // frames wait in its transmit queue there, and it waits while a batch
    // would take one of those queues past its depth.
    std::array<std::size_t, kCanBusCount> limited{};
    bool any = false;
    for (const ReplayedFrame& frame : batch) {
        if (frame.entry.kind == LogEntry::Kind::kCan && frame.entry.can.bus < kCanBusCount &&
            options_.bitrates[frame.entry.can.bus] != BusLoad::kUnlimited) {
            ++limited[frame.entry.can.bus];
            any = true;
        }
    }
    if (any) {
        const auto overruns = [&] {
            for (std::size_t bus = 0; bus < kCanBusCount; ++bus)
                if (replayQueued_[bus] > 0 && replayQueued_[bus] + limited[bus] > CanBus::kQueueDepth) return true;
            return false;
        };
        std::unique_lock<std::mutex> guard(queuedLock_);
        ++replayWaiting_;
        while (overruns() && !replayStopping_) queuedFreed_.wait_for(guard, std::chrono::milliseconds(100));
        --replayWaiting_;
        if (replayStopping_) return false;
        for (std::size_t bus = 0; bus < kCanBusCount; ++bus) replayQueued_[bus] += limited[bus];
    }
    return queue_.Push([this, frames = std::move(batch)]() mutable {
        const Origin origin{Origin::Kind::kReplay, 0};
        const std::int64_t now = MonotonicUs();
        for (const ReplayedFrame& frame : frames) {
            if (frame.entry.kind == LogEntry::Kind::kCan) {
                // The timing check goes by the log's own time stamps. Each
                // frame enters its bus at the time it was due (now in a fast
                // replay), also when its batch came early or the worker late:
                // a hold-up of the worker is not stretched by the wire into
                // a backlog that a busy bus takes long to clear.
                Transmit(frame.entry.can, origin, frame.entry.timeUs, frame.dueUs > 0 ? frame.dueUs : now);
            } else if (frame.entry.kind == LogEntry::Kind::kJ1708) {
                // No wire times a J1708 frame: one that came early waits for its time.
                if (frame.dueUs > now) {
                    timers_.emplace(frame.dueUs,
                                    [this, j1708 = frame.entry.j1708, origin] { PutOnJ1708(j1708, origin); });
                } else {
                    PutOnJ1708(frame.entry.j1708, origin);
                }
            }
            if (queuedBytes_ >= kFlushBytes) Flush();
        }
        replayer_.Recycle(std::move(frames));
    });
}

int Simulator::Inject(const CanFrame& frame, std::int32_t tool) {
    if (frame.bus < kCanBusCount && options_.bitrates[frame.bus] != BusLoad::kUnlimited) {
        std::lock_guard<std::mutex> guard(queuedLock_);
        std::size_t& queued = toolQueued_[tool];
        if (queued >= CanBus::kQueueDepth) return 0;
        ++queued;
    }
    return queue_.Push([this, frame, tool] { PutOnBus(frame, Origin{Origin::Kind::kTool, tool}); }) ? 1 : -1;
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

double Simulator::CheckDemand(std::uint8_t bus) {
    if (load_.Bitrate(bus) == BusLoad::kUnlimited) return 0;
    const double percent = 100.0 * timing_.CyclicBitsPerSecond(bus) / load_.Bitrate(bus);
    if (percent <= 100.0) {
        overbooked_[bus] = false;
    } else if (!overbooked_[bus]) {
        overbooked_[bus] = true;
        char text[128];
        std::snprintf(text, sizeof(text), "load: can%u: the cyclic frames ask for %.1f%% of %u kbit/s", bus, percent,
                      load_.Bitrate(bus) / 1000);
        Report(kReportTiming, text);
    }
    return percent;
}

}  // namespace gatewaysim
