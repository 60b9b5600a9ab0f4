#include "Faults.h"

#include <algorithm>
#include <cstdio>

namespace gatewaysim {

namespace {

std::string Describe(const FaultCommand& f) {
    char text[160];
    switch (f.kind) {
        case FaultCommand::Kind::kStall:
            if (f.address == 0) return "stall of every application for " + std::to_string(f.ms) + " ms";
            return "stall of application " + std::to_string(f.address) + " for " + std::to_string(f.ms) + " ms";
        case FaultCommand::Kind::kDelay:
            return std::string(ServiceName(f.service)) + " answers " + std::to_string(f.ms) + " ms late";
        case FaultCommand::Kind::kWithhold:
            return std::string(ServiceName(f.service)) + " answers withheld" +
                   (f.count < 0 ? std::string(" until cleared") : ", the next " + std::to_string(f.count));
        case FaultCommand::Kind::kEepromFail: {
            const char* operation = f.operation == FaultCommand::Operation::kRead    ? "read"
                                    : f.operation == FaultCommand::Operation::kWrite ? "write"
                                                                                     : "save";
            return "EEPROM " + std::string(operation) + " of application " + std::to_string(f.address) + " fails";
        }
        case FaultCommand::Kind::kTake:
            std::snprintf(text, sizeof(text), "a node on can%u claims address %02X with NAME %016llX", f.bus, f.address,
                          static_cast<unsigned long long>(f.name));
            return text;
        case FaultCommand::Kind::kSilence:
            return "can" + std::to_string(f.bus) + " silent for " + std::to_string(f.ms) + " ms";
        case FaultCommand::Kind::kRestart:
            return "restart of the platform";
        case FaultCommand::Kind::kList:
        case FaultCommand::Kind::kClear:
            break;
    }
    return "?";
}

}  // namespace

bool Faults::SameTarget(const FaultCommand& a, const FaultCommand& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case FaultCommand::Kind::kStall:
        case FaultCommand::Kind::kEepromFail:
            return a.address == b.address;
        case FaultCommand::Kind::kDelay:
        case FaultCommand::Kind::kWithhold:
            return a.service == b.service;
        case FaultCommand::Kind::kTake:
            return a.bus == b.bus && a.address == b.address;
        case FaultCommand::Kind::kSilence:
            return a.bus == b.bus;
        default:
            return false;
    }
}

void Faults::Start(const FaultCommand& fault, std::int64_t nowUs, Ended* ended) {
    for (std::size_t i = entries_.size(); i-- > 0;) {
        if (SameTarget(entries_[i].fault, fault)) End(i, ended);
    }
    const bool ends = (fault.kind == FaultCommand::Kind::kDelay && fault.ms == 0) ||
                      (fault.kind == FaultCommand::Kind::kEepromFail &&
                       fault.operation == FaultCommand::Operation::kNone);
    if (ends) return;
    Entry entry{fault, Describe(fault)};
    if (fault.kind == FaultCommand::Kind::kStall || fault.kind == FaultCommand::Kind::kSilence)
        entry.untilUs = nowUs + fault.ms * 1000;
    report_("fault started: " + entry.what);
    if (fault.kind == FaultCommand::Kind::kRestart) {
        report_("fault ended: " + entry.what + "; serving again");
        return;
    }
    entries_.push_back(std::move(entry));
}

void Faults::End(std::size_t index, Ended* ended) {
    Entry entry = std::move(entries_[index]);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    const FaultCommand& f = entry.fault;
    std::string tail;
    switch (f.kind) {
        case FaultCommand::Kind::kStall:
            ended->stalls.push_back(f.address);
            break;
        case FaultCommand::Kind::kEepromFail:
            ended->eeproms.push_back(f.address);
            break;
        case FaultCommand::Kind::kTake:
            ended->nodes.push_back(Node{f.bus, static_cast<std::uint8_t>(f.address), f.name});
            break;
        case FaultCommand::Kind::kSilence:
            tail = "; " + std::to_string(entry.refused) + " frames refused";
            break;
        case FaultCommand::Kind::kWithhold:
            tail = "; " + std::to_string(entry.withheld) + " answers withheld";
            break;
        default:
            break;
    }
    report_("fault ended: " + entry.what + tail);
}

const Faults::Entry* Faults::Find(FaultCommand::Kind kind,
                                  const std::function<bool(const FaultCommand&)>& match) const {
    for (const Entry& entry : entries_) {
        if (entry.fault.kind == kind && match(entry.fault)) return &entry;
    }
    return nullptr;
}

bool Faults::Stalls(std::int32_t address, std::int64_t nowUs) const {
    const Entry* entry = Find(FaultCommand::Kind::kStall,
                              [address](const FaultCommand& f) { return f.address == 0 || f.address == address; });
    return entry != nullptr && nowUs < entry->untilUs;
}

bool Faults::StallsOne(std::int32_t address, std::int64_t nowUs) const {
    const Entry* entry =
        Find(FaultCommand::Kind::kStall, [address](const FaultCommand& f) { return f.address == address; });
    return entry != nullptr && nowUs < entry->untilUs;
}

std::int64_t Faults::DelayUs(Service service) const {
    const Entry* entry =
        Find(FaultCommand::Kind::kDelay, [service](const FaultCommand& f) { return f.service == service; });
    return entry != nullptr ? entry->fault.ms * 1000 : 0;
}

bool Faults::Withholds(Service service) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& entry = entries_[i];
        if (entry.fault.kind != FaultCommand::Kind::kWithhold || entry.fault.service != service) continue;
        ++entry.withheld;
        if (entry.fault.count > 0 && entry.withheld >= static_cast<std::uint64_t>(entry.fault.count)) {
            Ended ignored;
            End(i, &ignored);
        }
        return true;
    }
    return false;
}

bool Faults::Refuses(std::uint8_t bus, std::int64_t nowUs) {
    for (Entry& entry : entries_) {
        if (entry.fault.kind != FaultCommand::Kind::kSilence || entry.fault.bus != bus || nowUs >= entry.untilUs)
            continue;
        ++entry.refused;
        return true;
    }
    return false;
}

void Faults::CountRefused(std::uint8_t bus, std::uint64_t frames) {
    for (Entry& entry : entries_) {
        if (entry.fault.kind == FaultCommand::Kind::kSilence && entry.fault.bus == bus) entry.refused += frames;
    }
}

std::int64_t Faults::Expire(std::int64_t nowUs, Ended* ended) {
    std::int64_t next = -1;
    for (std::size_t i = entries_.size(); i-- > 0;) {
        const std::int64_t until = entries_[i].untilUs;
        if (until < 0) continue;
        if (until <= nowUs) {
            End(i, ended);
        } else if (next < 0 || until < next) {
            next = until;
        }
    }
    return next;
}

void Faults::Clear(Ended* ended) {
    while (!entries_.empty()) End(entries_.size() - 1, ended);
}

std::vector<std::string> Faults::List(std::int64_t nowUs) const {
    std::vector<std::string> lines;
    for (const Entry& entry : entries_) {
        std::string line = entry.what;
        if (entry.untilUs >= 0)
            line += ", " + std::to_string(std::max<std::int64_t>(0, entry.untilUs - nowUs) / 1000) + " ms left";
        if (entry.fault.kind == FaultCommand::Kind::kSilence)
            line += ", " + std::to_string(entry.refused) + " frames refused";
        if (entry.fault.kind == FaultCommand::Kind::kWithhold)
            line += ", " + std::to_string(entry.withheld) + " withheld";
        lines.push_back(line);
    }
    return lines;
}

}  // namespace gatewaysim
