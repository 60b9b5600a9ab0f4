// Messages: lookup, decoding of whole payloads, encoding.
#include <cstdio>

#include "SignalDatabase.h"

namespace signaldb {

std::uint32_t PgnOfIdentifier(std::uint32_t id) {
    std::uint32_t pgn = (id >> 8) & 0x3FFFF;
    if (((pgn >> 8) & 0xFF) < 240) pgn &= 0x3FF00;
    return pgn;
}

std::uint32_t Message::Pgn() const { return PgnOfIdentifier(id); }

const Signal* Message::FindSignal(std::string_view wanted) const {
    for (const auto& s : signals) {
        if (s.name == wanted) return &s;
    }
    return nullptr;
}

std::string ParseError::ToString() const {
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}

void Database::Index() {
    byId_.clear();
    byPgn_.clear();
    for (std::size_t i = 0; i < messages_.size(); ++i) {
        const Message& m = messages_[i];
        byId_.emplace((std::uint64_t{m.extended} << 32) | m.id, i);
        if (m.j1939 && m.extended) byPgn_.emplace(m.Pgn(), i);
    }
}

const Message* Database::FindMessage(std::string_view wanted) const {
    for (const auto& m : messages_) {
        if (m.name == wanted) return &m;
    }
    return nullptr;
}

const Message* Database::FindMessage(std::uint32_t id, bool extended) const {
    const auto it = byId_.find((std::uint64_t{extended} << 32) | id);
    if (it != byId_.end()) return &messages_[it->second];
    if (extended && !byPgn_.empty()) return FindPgn(PgnOfIdentifier(id));
    return nullptr;
}

const Message* Database::FindPgn(std::uint32_t pgn) const {
    const auto it = byPgn_.find(pgn);
    return it == byPgn_.end() ? nullptr : &messages_[it->second];
}

const Node* Database::FindNode(std::string_view wanted) const {
    for (const auto& n : nodes_) {
        if (n.name == wanted) return &n;
    }
    return nullptr;
}

bool Carries(const Message& message, const Signal& signal, const std::uint8_t* payload, std::size_t size) {
    if (signal.EndByte() > size || signal.length == 0) return false;
    if (signal.mux != Signal::Mux::kMultiplexed) return true;
    if (message.multiplexor < 0) return false;
    std::uint64_t selector = 0;
    if (!message.signals[static_cast<std::size_t>(message.multiplexor)].Extract(payload, size, &selector)) {
        return false;
    }
    return selector == signal.muxValue;
}

void Decode(const Message& message, const std::uint8_t* payload, std::size_t size,
            std::vector<DecodedSignal>* out) {
    out->clear();
    bool haveSelector = false;
    std::uint64_t selector = 0;
    if (message.multiplexor >= 0) {
        haveSelector =
            message.signals[static_cast<std::size_t>(message.multiplexor)].Extract(payload, size, &selector);
    }
    for (const Signal& s : message.signals) {
        if (s.mux == Signal::Mux::kMultiplexed && (!haveSelector || selector != s.muxValue)) continue;
        DecodedSignal d;
        if (!s.Extract(payload, size, &d.raw)) continue;
        d.signal = &s;
        d.physical = s.ToPhysical(d.raw);
        d.valueName = s.ValueName(d.raw);
        out->push_back(d);
    }
}

std::optional<double> DecodeSignal(const Message& message, const Signal& signal, const std::uint8_t* payload,
                                   std::size_t size) {
    if (!Carries(message, signal, payload, size)) return std::nullopt;
    std::uint64_t raw = 0;
    signal.Extract(payload, size, &raw);
    return signal.ToPhysical(raw);
}

std::vector<std::uint8_t> InitialPayload(const Message& message) {
    std::vector<std::uint8_t> payload(message.length, 0);
    // Multiplexed signals share bits: only those the multiplexor's start
    // value selects are written.
    std::uint64_t selector = 0;
    if (message.multiplexor >= 0) {
        const Signal& m = message.signals[static_cast<std::size_t>(message.multiplexor)];
        selector = m.StartRawBits();
    }
    // The start values are raw: written as they are, never clamped.
    for (const Signal& s : message.signals) {
        if (s.mux == Signal::Mux::kMultiplexed && s.muxValue != selector) continue;
        if (s.startRaw) s.Insert(s.StartRawBits(), payload.data(), payload.size());
    }
    return payload;
}

bool EncodeSignal(const Message& message, const Signal& signal, double physical, std::uint8_t* payload,
                  std::size_t size) {
    if (signal.EndByte() > size || signal.length == 0) return false;
    if (signal.mux == Signal::Mux::kMultiplexed) {
        if (message.multiplexor < 0) return false;
        const Signal& m = message.signals[static_cast<std::size_t>(message.multiplexor)];
        if (m.EndByte() > size) return false;
        m.Insert(signal.muxValue, payload, size);
    }
    return signal.Insert(signal.ToRaw(physical), payload, size);
}

bool BusDatabases::ParseBusFile(std::string_view busFile, int* bus, std::string* path, std::string* error) {
    *bus = kAllBuses;
    if (busFile.size() > 5 && busFile.substr(0, 3) == "can" && busFile[3] >= '0' && busFile[3] <= '9' && busFile[4] == ':') {
        if (busFile[3] > '4') {
            *error = "no bus " + std::string(busFile.substr(0, 4)) + " (buses are can0 to can4)";
            return false;
        }
        *bus = busFile[3] - '0';
        busFile.remove_prefix(5);
    }
    if (busFile.empty()) {
        *error = "expected [canN:]FILE";
        return false;
    }
    *path = std::string(busFile);
    return true;
}

void BusDatabases::Add(int bus, std::shared_ptr<const Database> db) { entries_.emplace_back(bus, std::move(db)); }

const Message* BusDatabases::Find(int bus, std::uint32_t id, bool extended) const {
    for (const auto& [b, db] : entries_) {
        if (b == bus) {
            if (const Message* m = db->FindMessage(id, extended)) return m;
        }
    }
    for (const auto& [b, db] : entries_) {
        if (b == kAllBuses) {
            if (const Message* m = db->FindMessage(id, extended)) return m;
        }
    }
    return nullptr;
}

const Message* BusDatabases::FindByName(std::string_view name, int bus) const {
    for (const auto& [b, db] : entries_) {
        if (bus != kAllBuses && b != bus && b != kAllBuses) continue;
        if (const Message* m = db->FindMessage(name)) return m;
    }
    return nullptr;
}

}  // namespace signaldb
