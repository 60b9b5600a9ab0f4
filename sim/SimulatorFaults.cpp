// The faults on demand: how each one starts on the worker thread and what
// its end undoes.
#include "Simulator.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace gatewaysim {

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

EepromService::Failure EepromFailure(FaultCommand::Operation operation) {
    switch (operation) {
        case FaultCommand::Operation::kRead: return EepromService::Failure::kRead;
        case FaultCommand::Operation::kWrite: return EepromService::Failure::kWrite;
        case FaultCommand::Operation::kSave: return EepromService::Failure::kSave;
        case FaultCommand::Operation::kNone: break;
    }
    return EepromService::Failure::kNone;
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
            if (fault.address != 0) (void)server_.PauseReading(fault.address);
            break;
        case FaultCommand::Kind::kRestart:
            start();
            for (const std::int32_t address : server_.RegisteredAddresses()) server_.Disconnect(address);
            eeprom_.Restart();
            break;
        case FaultCommand::Kind::kEepromFail:
            start();
            eeprom_.SetFailure(fault.address, EepromFailure(fault.operation));
            break;
        case FaultCommand::Kind::kSilence:
            start();
            SilenceBus(fault.bus);
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

void Simulator::SilenceBus(std::uint8_t bus) {
    if (bus >= kCanBusCount || buses_[bus].Bitrate() == BusLoad::kUnlimited) return;
    // What ended before now was on the wire before the silence.
    (void)AdvanceBuses();
    std::uint64_t refused = 0;
    buses_[bus].Discard(MonotonicUs(), [&](const CanFrame&, const Origin& origin) {
        ++refused;
        ReleaseQueued(origin, bus);
    });
    faults_.CountRefused(bus, refused);
    ResumeHeldBack();
}

void Simulator::FaultsEnded(const Faults::Ended& ended) {
    for (const std::int32_t address : ended.stalls) {
        if (address != 0) (void)server_.ResumeReading(address);
        ReleaseHeld(address);
    }
    // What waited for the stalled applications goes out now.
    if (!ended.stalls.empty()) flushDueUs_ = 0;
    for (const std::int32_t address : ended.eeproms) eeprom_.SetFailure(address, EepromService::Failure::kNone);
    for (const Faults::Node& node : ended.nodes)
        PutOnBus(AddressClaim(node.bus, 254, node.name), Origin{Origin::Kind::kOperator, 0});
}

void Simulator::FaultEvent(const std::string& line) {
    if (!options_.event) return;
    static const std::string started = "fault started: ";
    static const std::string ended = "fault ended: ";
    report::Event event;
    event.timeUs = WallClockUs();
    if (line.compare(0, started.size(), started) == 0) {
        event.kind = "fault-started";
        event.detail = line.substr(started.size());
    } else if (line.compare(0, ended.size(), ended) == 0) {
        event.kind = "fault-ended";
        event.detail = line.substr(ended.size());
        // A silence ends with "; N frames refused".
        static const std::string refused = " frames refused";
        if (event.detail.size() > refused.size() &&
            event.detail.compare(event.detail.size() - refused.size(), refused.size(), refused) == 0) {
            const std::size_t number = event.detail.rfind(' ', event.detail.size() - refused.size() - 1);
            if (number != std::string::npos)
                event.refused = std::strtoull(event.detail.c_str() + number + 1, nullptr, 10);
        }
    } else {
        return;
    }
    options_.event(event);
}

}  // namespace gatewaysim
