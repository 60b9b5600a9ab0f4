// The operator's commands: each runs on the worker thread and answers with
// a reply; the listings (applications, timing, the J1939 network) and the
// replay's control.
#include "Simulator.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "services/Wire.h"

namespace gatewaysim {

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

int Simulator::EepromHeld(std::int32_t address, std::size_t offset, std::size_t length,
                          std::vector<std::uint8_t>* out) {
    auto promise = std::make_shared<std::promise<std::pair<int, std::vector<std::uint8_t>>>>();
    auto future = promise->get_future();
    if (!queue_.Push([this, promise, address, offset, length] {
            std::vector<std::uint8_t> bytes;
            const int result = eeprom_.Held(address, offset, length, &bytes);
            promise->set_value({result, std::move(bytes)});
        }))
        return -ESHUTDOWN;
    if (future.wait_for(std::chrono::milliseconds(kCommandTimeoutMs)) != std::future_status::ready) return -ETIMEDOUT;
    try {
        auto [result, bytes] = future.get();
        *out = std::move(bytes);
        return result;
    } catch (const std::future_error&) {
        return -ESHUTDOWN;
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
        case Command::Kind::kReplay:
            return StartReplay(command);
        case Command::Kind::kReplayStatus:
            return ReplayStatus();
        case Command::Kind::kReplayStop:
            {
                std::lock_guard<std::mutex> guard(queuedLock_);
                replayStopping_ = true;
            }
            queuedFreed_.notify_all();
            replayer_.Stop();
            return Reply{};
        case Command::Kind::kFault:
            return OnWorker([this, fault = command.fault] { return ApplyFault(fault); });
        case Command::Kind::kNode:
            return OnWorker([this, node = command.node] {
                Reply reply;
                reply.ok = vehicle_.Execute(node, &reply.text);
                return reply;
            });
        case Command::Kind::kWatch:
        case Command::Kind::kUnwatch:
        case Command::Kind::kDecode:
            if (!options_.signalDatabases) return Reply{false, "no signal database (start the simulator with --dbc FILE)"};
            return OnWorker([this, command] { return SignalCommand(command); });
    }
    return Reply{false, "unknown command"};
}

Simulator::Reply Simulator::SignalCommand(const Command& command) {
    Reply reply;
    if (command.kind == Command::Kind::kWatch) {
        reply.ok = signals_->Watch(command.signals, &reply.text);
    } else if (command.kind == Command::Kind::kUnwatch) {
        reply.ok = signals_->Unwatch(command.signals, &reply.text);
    } else {
        reply.ok = signals_->Decode(command.state, &reply.text);
    }
    return reply;
}

void Simulator::PrintDecoded(const std::string& line) {
    if (options_.standardOutput) {
        options_.standardOutput(line);
    } else {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

Simulator::Reply Simulator::StartReplay(const Command& command) {
    if (!replayer_.Running()) {
        std::lock_guard<std::mutex> guard(queuedLock_);
        replayStopping_ = false;
    }
    ReplayRequest request;
    request.path = command.path;
    request.fast = command.fast;
    request.passes = command.passes;
    request.skipGaps = command.skipGaps;
    request.mapping = command.mapping;
    const int result = replayer_.Start(request);
    if (result == -EBUSY) return Reply{false, "a replay is running (replay stop ends it)"};
    if (result == -EINVAL) return Reply{false, command.path + ": not a regular file"};
    if (result != 0) return Reply{false, command.path + ": " + std::strerror(-result)};
    // Whoever asked hears how it began: the lines refused before the first
    // frame, or the whole outcome of a replay that is over at once.
    const bool running =
        command.fast ? !replayer_.WaitDone(kReplayAnswerMs) : replayer_.WaitFirstFrames(kReplayAnswerMs);
    const Replayer::Status status = replayer_.GetStatus();
    Reply reply;
    for (const std::string& line : status.errors) reply.text += line + "\n";
    if (running) {
        reply.text += "replaying " + command.path + " (replay tells how far, replay stop ends it)\n";
    } else {
        reply.ok = !status.failed;
        reply.text += status.summary + "\n";
    }
    return reply;
}

Simulator::Reply Simulator::ReplayStatus() const {
    const Replayer::Status s = replayer_.GetStatus();
    if (s.path.empty()) return Reply{true, "no replay\n"};
    char text[256];
    std::snprintf(text, sizeof(text), "%s: %llu frames sent, %llu lines refused, at %.3f s of the log, pass %d%s%s\n",
                  s.running ? "replaying" : "replayed", static_cast<unsigned long long>(s.frames),
                  static_cast<unsigned long long>(s.refused), static_cast<double>(s.positionUs) / 1e6, s.pass,
                  s.passes == 0 ? " (until stopped)" : (" of " + std::to_string(s.passes)).c_str(),
                  s.running ? "" : ", ended");
    std::string reply = "file " + s.path + "\n" + text;
    if (s.startUs > 0) {
        // For those who time what the replay caused: the log's first frame
        // was due then, each other one its log time later.
        std::snprintf(text, sizeof(text), "started at %lld.%06lld s of the monotonic clock\n",
                      static_cast<long long>(s.startUs / 1'000'000), static_cast<long long>(s.startUs % 1'000'000));
        reply += text;
    }
    return Reply{true, reply};
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

Simulator::Reply Simulator::Timing() {
    Reply reply;
    const std::int64_t now = MonotonicUs();
    (void)timing_.Expire(now);
    for (std::uint8_t bus = 0; bus < kCanBusCount; ++bus) {
        char line[192];
        if (load_.Bitrate(bus) == BusLoad::kUnlimited) {
            std::snprintf(line, sizeof(line), "can%u unlimited: %llu frames in the last second\n", bus,
                          static_cast<unsigned long long>(load_.FramesLastSecond(bus, now)));
            reply.text += line;
            continue;
        }
        const double demand = CheckDemand(bus);
        std::snprintf(line, sizeof(line),
                      "can%u %u kbit/s: load %.1f%% in the last second, %zu frames waiting, cyclic frames ask for "
                      "%.1f%%%s\n",
                      bus, load_.Bitrate(bus) / 1000, load_.LoadPercent(bus, now), buses_[bus].Waiting(), demand,
                      demand > 100.0 ? ", more than the bus can carry" : "");
        reply.text += line;
        for (const CanBus::SenderState& sender : buses_[bus].Senders()) {
            std::snprintf(line, sizeof(line), "  %s: %zu queued (at most %zu), %llu sent, %llu dropped\n",
                          sender.sender.Text().c_str(), sender.queued, sender.peak,
                          static_cast<unsigned long long>(sender.sent),
                          static_cast<unsigned long long>(sender.dropped));
            reply.text += line;
        }
    }
    const std::vector<TimingChecker::Entry> entries = timing_.Entries();
    if (entries.empty()) reply.text += "no frames seen\n";
    if (timing_.Untracked() > 0)
        reply.text += std::to_string(timing_.Untracked()) + " frames of rows beyond " +
                      std::to_string(TimingChecker::kMaxTracked) + " not followed\n";
    for (const TimingChecker::Entry& e : entries) {
        CanFrame frame;
        frame.extended = e.extended;
        frame.id = e.id;
        char line[192];
        if (e.periodUs > 0) {
            std::snprintf(line, sizeof(line), "can%u %s from %s period %.1f ms, %llu frames, %llu drifts\n", e.bus,
                          FormatCanFrame(frame).substr(0, e.extended ? 8 : 3).c_str(), SenderText(e.sender).c_str(),
                          e.periodUs / 1000.0,
                          static_cast<unsigned long long>(e.frames), static_cast<unsigned long long>(e.drifts));
        } else {
            std::snprintf(line, sizeof(line), "can%u %s from %s not cyclic, %llu frames, %llu drifts\n", e.bus,
                          FormatCanFrame(frame).substr(0, e.extended ? 8 : 3).c_str(), SenderText(e.sender).c_str(),
                          static_cast<unsigned long long>(e.frames), static_cast<unsigned long long>(e.drifts));
        }
        reply.text += line;
    }
    return reply;
}

}  // namespace gatewaysim
