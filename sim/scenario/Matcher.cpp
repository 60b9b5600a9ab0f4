#include "scenario/Matcher.h"

#include <cctype>
#include <cmath>
#include <utility>

#include "j1939/J1939Codec.h"

namespace gatewaysim {

namespace {

int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two characters of a byte: hex digits or 'x' (any digit); value and mask.
bool Byte(char high, char low, std::uint8_t* value, std::uint8_t* mask) {
    *value = 0;
    *mask = 0;
    for (const char c : {high, low}) {
        *value = static_cast<std::uint8_t>(*value << 4);
        *mask = static_cast<std::uint8_t>(*mask << 4);
        if (c == 'x' || c == 'X') continue;
        const int digit = Digit(c);
        if (digit < 0) return false;
        *value = static_cast<std::uint8_t>(*value | digit);
        *mask = static_cast<std::uint8_t>(*mask | 0xF);
    }
    return true;
}

constexpr std::uint32_t kTransportData = 0xEB;
constexpr std::uint32_t kTransportControl = 0xEC;

}  // namespace

bool DataPattern::Parse(const std::string& text, std::size_t maxBytes, DataPattern* p, std::string* error) {
    const std::string usage = "data is up to " + std::to_string(maxBytes) +
                              " bytes in hex ('..': any byte, 'x': any digit, BYTE/MASK: the bits under MASK, "
                              "a final '*': any further bytes)";
    *p = DataPattern();
    p->any = false;
    std::size_t end = text.size();
    if (end > 0 && text[end - 1] == '*') {
        p->anyTail = true;
        --end;
    }
    for (std::size_t at = 0; at < end;) {
        if (at + 1 >= end || p->value.size() >= maxBytes) {
            *error = usage;
            return false;
        }
        std::uint8_t value = 0;
        std::uint8_t mask = 0;
        if (text[at] == '.' && text[at + 1] == '.') {
            // any value: mask 0
        } else if (!Byte(text[at], text[at + 1], &value, &mask)) {
            *error = usage;
            return false;
        }
        at += 2;
        if (at < end && text[at] == '/') {
            std::uint8_t bits = 0;
            std::uint8_t bitsMask = 0;
            if (at + 2 >= end) {
                *error = usage;
                return false;
            }
            if (!Byte(text[at + 1], text[at + 2], &bits, &bitsMask) || bitsMask != 0xFF || mask != 0xFF) {
                *error = usage;
                return false;
            }
            mask = bits;
            value = static_cast<std::uint8_t>(value & bits);
            at += 3;
        }
        p->value.push_back(value);
        p->mask.push_back(mask);
    }
    return true;
}

bool DataPattern::Matches(const std::uint8_t* bytes, std::size_t length) const {
    if (any) return true;
    if (anyTail ? length < value.size() : length != value.size()) return false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if ((bytes[i] & mask[i]) != value[i]) return false;
    }
    return true;
}

bool FramePattern::Parse(const std::string& text, FramePattern* p, std::string* error) {
    *p = FramePattern();
    const std::size_t hash = text.find('#');
    const std::string idText = text.substr(0, hash);
    if (idText.size() != 3 && idText.size() != 8) {
        *error = "an identifier has 3 or 8 hex digits ('x': any)";
        return false;
    }
    p->extended = idText.size() == 8;
    for (const char c : idText) {
        p->id <<= 4;
        p->idMask <<= 4;
        if (c == 'x' || c == 'X') continue;
        const int digit = Digit(c);
        if (digit < 0) {
            *error = "an identifier has 3 or 8 hex digits ('x': any)";
            return false;
        }
        p->id |= static_cast<std::uint32_t>(digit);
        p->idMask |= 0xF;
    }
    if (p->extended ? p->id > 0x1FFFFFFF : p->id > 0x7FF) {
        *error = p->extended ? "an extended identifier is at most 1FFFFFFF" : "a standard identifier is at most 7FF";
        return false;
    }
    if (hash == std::string::npos) return true;
    const std::string data = text.substr(hash + 1);
    if (!data.empty() && (data[0] == 'R' || data[0] == 'r')) {
        p->remote = true;
        if (data.size() == 1) return true;
        if (data.size() == 2 && data[1] >= '0' && data[1] <= '8') {
            p->remoteLength = data[1] - '0';
            return true;
        }
        *error = "a remote frame is ID#R or ID#R with its length, 0 to 8";
        return false;
    }
    return DataPattern::Parse(data, 8, &p->data, error);
}

bool FramePattern::SameIdentifier(const CanFrame& frame) const {
    return frame.extended == extended && (frame.id & idMask) == id;
}

bool FramePattern::Matches(const CanFrame& frame) const {
    if (!SameIdentifier(frame) || frame.remote != remote) return false;
    if (remote) return remoteLength < 0 || frame.length == remoteLength;
    return data.Matches(frame.data, frame.length);
}

bool J1939Pattern::Matches(const J1939Message& message) const {
    return message.pgn == pgn && (source < 0 || message.source == source) &&
           (destination < 0 || message.destination == destination) &&
           data.Matches(message.data.data(), message.data.size());
}

bool J1939Assembler::Feed(const CanFrame& frame, J1939Message* message) {
    if (!frame.extended || frame.remote) return false;
    const J1939Header header = DecomposeId(frame.id);
    const std::uint32_t pf = (header.pgn >> 8) & 0xFF;
    if (pf == kTransportControl) {
        if (frame.length != 8) return false;
        const std::uint8_t control = frame.data[0];
        const auto key = std::make_tuple(frame.bus, header.source, header.destination);
        if (control == 0x10 || control == 0x20) {  // RTS, BAM: a session begins (again)
            Session session;
            session.size = frame.data[1] | (frame.data[2] << 8);
            session.packets = frame.data[3];
            session.pgn = frame.data[5] | (frame.data[6] << 8) | ((frame.data[7] & 0x03u) << 16);
            const bool consistent = session.size >= 9 && session.size <= 1785 && session.packets >= 1 &&
                                    session.size <= session.packets * 7u && session.size > (session.packets - 1) * 7u;
            if ((control == 0x20) != (header.destination == 0xFF) || !consistent) {
                sessions_.erase(key);
                return false;
            }
            session.data.assign(session.packets * 7u, 0xFF);
            session.received.assign(session.packets, false);
            sessions_[key] = std::move(session);
        } else if (control == 0xFF) {  // abort, by either side
            sessions_.erase(key);
            sessions_.erase(std::make_tuple(frame.bus, header.destination, header.source));
        }
        return false;  // control messages are the session's, not messages of their own
    }
    if (pf == kTransportData) {
        const auto found = sessions_.find(std::make_tuple(frame.bus, header.source, header.destination));
        if (found == sessions_.end() || frame.length != 8) return false;
        Session& session = found->second;
        const unsigned sequence = frame.data[0];
        if (sequence < 1 || sequence > session.packets) return false;
        for (int i = 0; i < 7; ++i) session.data[(sequence - 1) * 7 + i] = frame.data[1 + i];
        session.received[sequence - 1] = true;
        if (sequence != session.packets) return false;
        for (const bool received : session.received) {
            if (!received) return false;
        }
        message->pgn = session.pgn;
        message->source = header.source;
        message->destination = header.destination;
        message->data.assign(session.data.begin(), session.data.begin() + static_cast<long>(session.size));
        sessions_.erase(found);
        return true;
    }
    message->pgn = header.pgn;
    message->source = header.source;
    message->destination = header.destination;
    message->data.assign(frame.data, frame.data + frame.length);
    return true;
}

bool SignalCondition::ParseOp(const std::string& word, Op* op) {
    static const std::pair<const char*, Op> ops[] = {{"==", Op::kEq}, {"!=", Op::kNe}, {"<", Op::kLt},
                                                     {"<=", Op::kLe}, {">", Op::kGt}, {">=", Op::kGe},
                                                     {"between", Op::kBetween}};
    for (const auto& entry : ops) {
        if (word == entry.first) {
            *op = entry.second;
            return true;
        }
    }
    return false;
}

bool SignalCondition::Holds(double physical) const {
    // -1, 0 or 1 as `physical` is below, at or above `bound` at the resolution.
    const auto compare = [this, physical](double bound) {
        if (std::fabs(physical - bound) < tolerance) return 0;
        return physical < bound ? -1 : 1;
    };
    if (std::isnan(physical)) return op == Op::kNe;
    switch (op) {
        case Op::kEq: return compare(value) == 0;
        case Op::kNe: return compare(value) != 0;
        case Op::kLt: return compare(value) < 0;
        case Op::kLe: return compare(value) <= 0;
        case Op::kGt: return compare(value) > 0;
        case Op::kGe: return compare(value) >= 0;
        case Op::kBetween: return compare(value) >= 0 && compare(upper) <= 0;
    }
    return false;
}

bool ReadDiagnosticMessage(const std::vector<std::uint8_t>& payload, std::uint8_t* lamps, std::vector<ActiveDtc>* dtcs) {
    dtcs->clear();
    if (payload.size() < 6) return false;
    *lamps = payload[0];
    for (std::size_t at = 2; at + 4 <= payload.size(); at += 4) {
        const std::uint8_t* d = payload.data() + at;
        if (d[0] == 0xFF && d[1] == 0xFF && d[2] == 0xFF && d[3] == 0xFF) continue;  // padding
        ActiveDtc dtc;
        dtc.spn = d[0] | d[1] << 8 | static_cast<std::uint32_t>(d[2] >> 5) << 16;
        dtc.fmi = d[2] & 0x1F;
        dtc.count = d[3] & 0x7F;
        if (dtc.spn == 0 && dtc.fmi == 0) continue;  // "no active faults"
        dtcs->push_back(dtc);
    }
    return true;
}

bool LampOn(std::uint8_t lamps, int lamp) {
    return lamp >= 0 && lamp < 4 && ((lamps >> (6 - 2 * lamp)) & 0x3) == 0x1;
}

}  // namespace gatewaysim
