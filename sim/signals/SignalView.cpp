#include "signals/SignalView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "logs/CandumpFormat.h"
#include "j1939/J1939Codec.h"

namespace gatewaysim {

namespace {

std::string TimeText(std::int64_t timeUs) {
    char buffer[48];
    const char* sign = timeUs < 0 ? "-" : "";
    const std::uint64_t magnitude =
        timeUs < 0 ? static_cast<std::uint64_t>(-(timeUs + 1)) + 1 : static_cast<std::uint64_t>(timeUs);
    std::snprintf(buffer, sizeof buffer, "%s%llu.%06llu", sign, static_cast<unsigned long long>(magnitude / 1000000),
                  static_cast<unsigned long long>(magnitude % 1000000));
    return buffer;
}

std::string ValueText(const signaldb::DecodedSignal& s) {
    if (s.valueName != nullptr) return "'" + *s.valueName + "'";
    std::string text = signaldb::FormatPhysical(*s.signal, s.physical);
    if (!s.signal->unit.empty()) text += " " + s.signal->unit;
    return text;
}

// Splits "MESSAGE.SIGNAL".
bool SplitName(std::string_view name, std::string* message, std::string* signal) {
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return false;
    *message = std::string(name.substr(0, dot));
    *signal = std::string(name.substr(dot + 1));
    return true;
}

bool Known(const std::string& message, const std::string& signal, const signaldb::BusDatabases& databases,
           std::string_view given, std::string* error) {
    const signaldb::Message* m = databases.FindByName(message);
    if (m == nullptr) {
        *error = "no message " + message + " in the signal databases (" + std::string(given) + ")";
        return false;
    }
    if (m->FindSignal(signal) == nullptr) {
        *error = "message " + message + " has no signal " + signal;
        return false;
    }
    return true;
}

}  // namespace

// The transport protocol's receiving side only: no CA is hosted, so nothing
// is ever sent; completed messages are kept for OnFrame to hand on.
class FrameDecoder::Link : public J1939Transport::Link {
  public:
    std::int64_t nowUs = 0;
    struct Completed {
        std::uint8_t bus;
        J1939Header header;
        std::vector<std::uint8_t> data;
    };
    std::deque<Completed> completed;

    std::int64_t NowUs() override { return nowUs; }
    void Emit(const CanFrame&, std::int32_t) override {}
    void Complete(std::uint8_t bus, const J1939Header& header, const std::vector<std::uint8_t>& data,
                  const Origin&) override {
        completed.push_back(Completed{bus, header, data});
    }
    bool Hosted(std::uint8_t, std::uint8_t, std::int32_t*) override { return false; }
    void Report(const std::string&) override {}
};

FrameDecoder::FrameDecoder(const signaldb::BusDatabases& databases)
    : databases_(databases), link_(std::make_unique<Link>()) {
    J1939Transport::Options options;
    transport_ = std::make_unique<J1939Transport>(*link_, options);
}

FrameDecoder::~FrameDecoder() = default;

void FrameDecoder::OnFrame(std::int64_t timeUs, const CanFrame& frame,
                           const std::function<void(const DecodedMessage&)>& sink) {
    if (frame.remote) return;
    if (const signaldb::Message* m = databases_.Find(frame.bus, frame.id, frame.extended)) {
        signaldb::Decode(*m, frame.data, frame.length, &signals_);
        DecodedMessage d;
        d.timeUs = timeUs;
        d.bus = frame.bus;
        d.id = frame.id;
        d.extended = frame.extended;
        d.payload = frame.data;
        d.size = frame.length;
        d.message = m;
        d.signals = &signals_;
        sink(d);
    }
    if (!IsTransportFrame(frame)) return;
    link_->nowUs = timeUs;
    transport_->OnFrame(frame, Origin{Origin::Kind::kReplay, 0});
    transport_->Poll();  // sessions that timed out by now end
    while (!link_->completed.empty()) {
        const Link::Completed done = std::move(link_->completed.front());
        link_->completed.pop_front();
        const std::uint32_t id = ComposeId(done.header);
        const signaldb::Message* m = databases_.Find(done.bus, id, true);
        if (m == nullptr) continue;
        signaldb::Decode(*m, done.data.data(), done.data.size(), &signals_);
        DecodedMessage d;
        d.timeUs = timeUs;
        d.bus = done.bus;
        d.id = id;
        d.extended = true;
        d.reassembled = true;
        d.payload = done.data.data();
        d.size = done.data.size();
        d.message = m;
        d.signals = &signals_;
        sink(d);
    }
}

std::string FormatMessageLine(const DecodedMessage& decoded) {
    char id[16];
    std::snprintf(id, sizeof id, decoded.extended ? "%08X" : "%03X", decoded.id);
    std::string line = "(" + TimeText(decoded.timeUs) + ") can" + std::to_string(decoded.bus) + " " + id + "#";
    static const char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < decoded.size; ++i) {
        line.push_back(kHex[decoded.payload[i] >> 4]);
        line.push_back(kHex[decoded.payload[i] & 0xF]);
    }
    return line;
}

std::string FormatSignals(const DecodedMessage& decoded, bool singleLine) {
    std::string text = decoded.message->name + "(";
    const auto& signals = *decoded.signals;
    for (std::size_t i = 0; i < signals.size(); ++i) {
        if (singleLine) {
            if (i > 0) text += ", ";
        } else {
            text += "\n    ";
        }
        text += signals[i].signal->name + ": " + ValueText(signals[i]);
        if (!singleLine && i + 1 < signals.size()) text += ",";
    }
    if (!singleLine) text += "\n";
    text += ")";
    return text;
}

bool SignalColumns::Parse(std::string_view list, const signaldb::BusDatabases& databases, std::string* error) {
    columns_.clear();
    byMessage_.clear();
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        if (item.empty()) continue;
        Column column;
        column.text = std::string(item);
        if (!SplitName(item, &column.message, &column.signal)) {
            *error = "expected MESSAGE.SIGNAL, found '" + std::string(item) + "'";
            return false;
        }
        if (!Known(column.message, column.signal, databases, item, error)) return false;
        columns_.push_back(std::move(column));
    }
    if (columns_.empty()) {
        *error = "expected MESSAGE.SIGNAL[,MESSAGE.SIGNAL...]";
        return false;
    }
    cells_.assign(columns_.size(), nullptr);
    return true;
}

std::string SignalColumns::Header() const {
    std::string header = "time";
    for (const auto& c : columns_) header += "," + c.text;
    return header;
}

bool SignalColumns::Row(const DecodedMessage& decoded, std::string* row) {
    auto it = byMessage_.find(decoded.message);
    if (it == byMessage_.end()) {
        std::vector<std::pair<std::size_t, const signaldb::Signal*>> filled;
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            if (columns_[i].message != decoded.message->name) continue;
            if (const signaldb::Signal* s = decoded.message->FindSignal(columns_[i].signal)) filled.emplace_back(i, s);
        }
        it = byMessage_.emplace(decoded.message, std::move(filled)).first;
    }
    if (it->second.empty()) return false;
    std::vector<std::string> values(columns_.size());
    bool any = false;
    for (const auto& [column, signal] : it->second) {
        for (const auto& d : *decoded.signals) {
            if (d.signal == signal) {
                values[column] = signaldb::FormatPhysical(*signal, d.physical);
                any = true;
                break;
            }
        }
    }
    if (!any) return false;
    row->assign(TimeText(decoded.timeUs));
    for (const auto& v : values) {
        row->push_back(',');
        row->append(v);
    }
    return true;
}

bool SignalWatch::Add(std::string_view name, const signaldb::BusDatabases& databases, std::string* error) {
    std::string message, signal;
    if (!SplitName(name, &message, &signal)) {
        *error = "expected MESSAGE.SIGNAL, found '" + std::string(name) + "'";
        return false;
    }
    if (!Known(message, signal, databases, name, error)) return false;
    for (const auto& w : watched_) {
        if (w.first == message && w.second == signal) return true;
    }
    watched_.emplace_back(std::move(message), std::move(signal));
    return true;
}

bool SignalWatch::Remove(std::string_view name) {
    for (auto it = watched_.begin(); it != watched_.end(); ++it) {
        if (it->first + "." + it->second == name) {
            watched_.erase(it);
            return true;
        }
    }
    return false;
}

void SignalWatch::Clear() {
    watched_.clear();
    last_.clear();
}

std::vector<std::string> SignalWatch::Names() const {
    std::vector<std::string> names;
    for (const auto& w : watched_) names.push_back(w.first + "." + w.second);
    return names;
}

void SignalWatch::OnMessage(const DecodedMessage& decoded, std::vector<std::string>* lines) {
    // The values remembered are bounded: a bus full of J1939 senders of a
    // watched PGN is followed for its first this many identifiers.
    constexpr std::size_t kMaxRemembered = 4096;
    for (const auto& [message, signal] : watched_) {
        if (message != decoded.message->name) continue;
        for (const auto& d : *decoded.signals) {
            if (d.signal->name != signal) continue;
            const auto key = std::make_tuple(decoded.bus, decoded.id, decoded.extended, d.signal);
            auto it = last_.find(key);
            const bool same = it != last_.end() && (it->second == d.physical ||
                                                    (std::isnan(it->second) && std::isnan(d.physical)));
            if (same) break;
            std::string line = "(" + TimeText(decoded.timeUs) + ") can" + std::to_string(decoded.bus) + " " +
                               message + "." + signal + " = " + ValueText(d);
            if (it != last_.end()) {
                signaldb::DecodedSignal before = d;
                before.physical = it->second;
                before.valueName = nullptr;
                line += " (was " + ValueText(before) + ")";
                it->second = d.physical;
            } else if (last_.size() < kMaxRemembered) {
                last_.emplace(key, d.physical);
            }
            lines->push_back(std::move(line));
            break;
        }
    }
}

bool LoadSignalDatabases(const std::vector<std::string>& busFiles, signaldb::BusDatabases* databases,
                         std::string* error) {
    for (const auto& busFile : busFiles) {
        int bus = 0;
        std::string path;
        if (!signaldb::BusDatabases::ParseBusFile(busFile, &bus, &path, error)) {
            *error = "--dbc " + busFile + ": " + *error;
            return false;
        }
        auto db = std::make_shared<signaldb::Database>();
        signaldb::ParseError parseError;
        if (!signaldb::LoadDbcFile(path, db.get(), &parseError)) {
            *error = parseError.ToString();
            return false;
        }
        databases->Add(bus, std::move(db));
    }
    return true;
}

SignalMonitor::SignalMonitor(const signaldb::BusDatabases& databases, std::function<void(const std::string&)> print)
    : databases_(databases), print_(std::move(print)), decoder_(databases) {}

void SignalMonitor::OnFrame(std::int64_t wallTimeUs, const CanFrame& frame) {
    if (!Active()) return;
    decoder_.OnFrame(wallTimeUs, frame, [this](const DecodedMessage& decoded) {
        if (decode_) print_(FormatMessageLine(decoded) + " :: " + FormatSignals(decoded, true));
        if (!watch_.empty()) {
            lines_.clear();
            watch_.OnMessage(decoded, &lines_);
            for (const auto& line : lines_) print_(line);
        }
    });
}

bool SignalMonitor::Watch(const std::vector<std::string>& names, std::string* text) {
    text->clear();
    if (names.empty()) {
        for (const auto& name : watch_.Names()) *text += name + "\n";
        if (text->empty()) *text = "no signal is watched\n";
        return true;
    }
    // Every name is checked before any is added.
    SignalWatch check;
    for (const auto& name : names) {
        if (!check.Add(name, databases_, text)) return false;
    }
    for (const auto& name : names) watch_.Add(name, databases_, text);
    text->clear();
    return true;
}

bool SignalMonitor::Unwatch(const std::vector<std::string>& names, std::string* text) {
    text->clear();
    if (names.empty()) {
        watch_.Clear();
        return true;
    }
    const std::vector<std::string> watched = watch_.Names();
    for (const auto& name : names) {
        if (std::find(watched.begin(), watched.end(), name) == watched.end()) {
            *text = name + " is not watched";
            return false;
        }
    }
    for (const auto& name : names) watch_.Remove(name);
    return true;
}

bool SignalMonitor::Decode(const std::string& state, std::string* text) {
    if (state.empty()) {
        decode_ = !decode_;
    } else if (state == "on" || state == "off") {
        decode_ = state == "on";
    } else {
        *text = "usage: decode [on|off]";
        return false;
    }
    *text = decode_ ? "decoded frames on\n" : "decoded frames off\n";
    return true;
}

}  // namespace gatewaysim
