#include "logs/CandumpFormat.h"

#include <cstdio>

namespace gatewaysim {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Fail(std::string* error, const char* reason) {
    if (error) *error = reason;
    return false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Hex pairs with optional '.' between whole bytes. False on an odd digit, a
// character that is neither, or more than `capacity` bytes. `*rest` gets what
// follows the bytes when `stopAt` is met ('\0': the text must end).
bool ParseBytes(std::string_view text, std::uint8_t* out, std::size_t capacity, std::size_t* count,
                std::string* error, char stopAt, std::string_view* rest) {
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (stopAt != '\0' && c == stopAt) break;
        if (c == '.') {
            ++i;
            continue;
        }
        const int high = HexValue(c);
        if (high < 0) return Fail(error, "data must be pairs of hex digits");
        if (i + 1 >= text.size()) return Fail(error, "odd number of hex digits in the data");
        const int low = HexValue(text[i + 1]);
        if (low < 0) return Fail(error, "odd number of hex digits in the data");
        if (n == capacity) return Fail(error, "too many data bytes");
        out[n++] = static_cast<std::uint8_t>((high << 4) | low);
        i += 2;
    }
    *count = n;
    if (rest) *rest = text.substr(i);
    return true;
}

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[bytes[i] >> 4]);
        s.push_back(digits[bytes[i] & 0xF]);
    }
    return s;
}

std::string Timestamp(std::int64_t timeUs) {
    if (timeUs < 0) timeUs = 0;
    char buffer[48];
    std::snprintf(buffer, sizeof(buffer), "(%lld.%06lld)", static_cast<long long>(timeUs / 1000000),
                  static_cast<long long>(timeUs % 1000000));
    return buffer;
}

// "(SECONDS.FRACTION)" at the start of `text`; the rest after it.
bool ParseTimestamp(std::string_view text, std::int64_t* timeUs, std::string_view* rest,
                    std::string* error) {
    if (text.empty() || text[0] != '(') return Fail(error, "a log line starts with (SECONDS.FRACTION)");
    std::size_t i = 1;
    std::int64_t seconds = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (++digits > 12) return Fail(error, "timestamp out of range");
        seconds = seconds * 10 + (text[i] - '0');
        ++i;
    }
    if (digits == 0 || i >= text.size() || text[i] != '.') return Fail(error, "malformed timestamp");
    ++i;
    // Any number of fraction digits, read at their scale; what lies below
    // a microsecond is dropped.
    std::int64_t micros = 0;
    std::size_t fraction = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (++fraction <= 6) micros = micros * 10 + (text[i] - '0');
        ++i;
    }
    if (fraction == 0 || i >= text.size() || text[i] != ')') return Fail(error, "malformed timestamp");
    for (std::size_t f = fraction; f < 6; ++f) micros *= 10;
    *timeUs = seconds * 1000000 + micros;
    *rest = text.substr(i + 1);
    return true;
}

}  // namespace

bool ParseCanFrameText(std::string_view text, CanFrame* frame, std::string* error) {
    text = Trim(text);
    const std::size_t hash = text.find('#');
    if (hash == std::string_view::npos) return Fail(error, "expected ID#DATA");
    const std::string_view id = text.substr(0, hash);
    std::string_view data = text.substr(hash + 1);
    if (!data.empty() && data[0] == '#') return Fail(error, "flexible-data-rate frames are not supported");

    CanFrame f;
    f.bus = frame->bus;
    if (id.size() != 3 && id.size() != 8)
        return Fail(error, "the identifier has 3 hex digits (standard) or 8 (extended)");
    std::uint32_t value = 0;
    for (const char c : id) {
        const int v = HexValue(c);
        if (v < 0) return Fail(error, "the identifier must be hex digits");
        value = (value << 4) | static_cast<std::uint32_t>(v);
    }
    f.extended = id.size() == 8;
    if (!f.extended && value > 0x7FF) return Fail(error, "a standard identifier is at most 7FF");
    if (f.extended && value > 0x1FFFFFFF)
        return Fail(error, "an extended identifier is at most 1FFFFFFF (error frames are not supported)");
    f.id = value;

    if (!data.empty() && (data[0] == 'R' || data[0] == 'r')) {
        f.remote = true;
        if (data.size() > 2) return Fail(error, "a remote frame is R or R with one length digit");
        if (data.size() == 2) {
            if (data[1] < '0' || data[1] > '8') return Fail(error, "a remote frame's length is 0 to 8");
            f.length = static_cast<std::uint8_t>(data[1] - '0');
        }
        *frame = f;
        return true;
    }

    // A classic frame of 8 bytes may carry its raw length code after '_'; the
    // simulated buses carry 8 bytes either way.
    const std::size_t underscore = data.find('_');
    if (underscore != std::string_view::npos) {
        const std::string_view code = data.substr(underscore + 1);
        if (code.size() != 1 || HexValue(code[0]) < 9)
            return Fail(error, "a length code after '_' is one hex digit 9 to F");
        data = data.substr(0, underscore);
    }
    std::size_t count = 0;
    if (!ParseBytes(data, f.data, 8, &count, error, '\0', nullptr)) return false;
    if (underscore != std::string_view::npos && count != 8)
        return Fail(error, "a length code after '_' needs 8 data bytes");
    f.length = static_cast<std::uint8_t>(count);
    *frame = f;
    return true;
}

bool ParseInterfaceName(std::string_view name, std::uint8_t* bus, std::string* error) {
    std::size_t i = 0;
    while (i < name.size() && ((name[i] >= 'a' && name[i] <= 'z') || (name[i] >= 'A' && name[i] <= 'Z'))) ++i;
    const std::string_view number = name.substr(i);
    if (i == 0 || number.size() != 1 || number[0] < '0' || number[0] > '9')
        return Fail(error, "an interface is named like can0 to can4");
    if (number[0] > '4') return Fail(error, "the simulator has buses 0 to 4");
    *bus = static_cast<std::uint8_t>(number[0] - '0');
    return true;
}

bool ParseJ1708Text(std::string_view text, J1708Frame* frame, std::string* error) {
    text = Trim(text);
    if (text.size() < 3 || text[2] != '#') return Fail(error, "expected MID#DATA with a 2-digit MID");
    const int high = HexValue(text[0]);
    const int low = HexValue(text[1]);
    if (high < 0 || low < 0) return Fail(error, "the MID must be 2 hex digits");
    J1708Frame f;
    f.mid = static_cast<std::uint8_t>((high << 4) | low);
    std::size_t count = 0;
    std::string_view rest;
    if (!ParseBytes(text.substr(3), f.data, sizeof(f.data), &count, error, '*', &rest)) return false;
    f.length = static_cast<std::uint8_t>(count);
    f.checksum = J1708Checksum(f.mid, f.data, f.length);
    if (!rest.empty()) {
        if (rest.size() != 3 || HexValue(rest[1]) < 0 || HexValue(rest[2]) < 0)
            return Fail(error, "a checksum is '*' and 2 hex digits");
        const auto given = static_cast<std::uint8_t>((HexValue(rest[1]) << 4) | HexValue(rest[2]));
        if (given != f.checksum) return Fail(error, "wrong checksum");
    }
    *frame = f;
    return true;
}

bool SplitLogLine(std::string_view line, LogLineParts* parts, std::string* error) {
    if (line.find('\0') != std::string_view::npos) return Fail(error, "a NUL byte in the line");
    line = Trim(line);
    LogLineParts p;
    if (line.empty() || line[0] == '#') {
        p.comment = true;
        *parts = p;
        return true;
    }
    std::string_view rest;
    if (!ParseTimestamp(line, &p.timeUs, &rest, error)) return false;
    if (rest.empty() || !IsBlank(rest[0])) return Fail(error, "expected an interface after the timestamp");
    rest = Trim(rest);
    std::size_t end = 0;
    while (end < rest.size() && !IsBlank(rest[end])) ++end;
    p.interface = rest.substr(0, end);
    std::string_view frame = Trim(rest.substr(end));
    // Logs written by other tools may mark each frame as received or
    // transmitted after it (" R", " T"); the direction is of no matter here.
    if (frame.size() > 2 && IsBlank(frame[frame.size() - 2])) {
        const char direction = frame.back();
        if (direction == 'R' || direction == 'r' || direction == 'T' || direction == 't')
            frame = Trim(frame.substr(0, frame.size() - 1));
    }
    if (frame.empty()) return Fail(error, "expected a frame after the interface");
    for (const char c : frame) {
        if (IsBlank(c)) return Fail(error, "unexpected text after the frame");
    }
    p.frame = frame;
    *parts = p;
    return true;
}

bool ParseLogFrame(const LogLineParts& parts, int bus, LogEntry* entry, std::string* error) {
    LogEntry e;
    e.timeUs = parts.timeUs;
    if (parts.comment) {
        *entry = e;
        return true;
    }
    if (bus < 0 && parts.interface == "j1708") {
        e.kind = LogEntry::Kind::kJ1708;
        if (!ParseJ1708Text(parts.frame, &e.j1708, error)) return false;
    } else {
        e.kind = LogEntry::Kind::kCan;
        if (bus >= 0) {
            if (bus > 4) return Fail(error, "the simulator has buses 0 to 4");
            e.can.bus = static_cast<std::uint8_t>(bus);
        } else if (!ParseInterfaceName(parts.interface, &e.can.bus, error)) {
            return false;
        }
        if (!ParseCanFrameText(parts.frame, &e.can, error)) return false;
    }
    *entry = e;
    return true;
}

bool ParseLogLine(std::string_view line, LogEntry* entry, std::string* error) {
    LogLineParts parts;
    return SplitLogLine(line, &parts, error) && ParseLogFrame(parts, -1, entry, error);
}

std::string FormatCanFrame(const CanFrame& frame) {
    char id[16];
    std::snprintf(id, sizeof(id), frame.extended ? "%08X#" : "%03X#", static_cast<unsigned>(frame.id));
    std::string s = id;
    if (frame.remote) {
        s += 'R';
        if (frame.length > 0) s += static_cast<char>('0' + (frame.length > 8 ? 8 : frame.length));
        return s;
    }
    s += Hex(frame.data, frame.length > 8 ? 8 : frame.length);
    return s;
}

std::string FormatJ1708Frame(const J1708Frame& frame) {
    std::string s = Hex(&frame.mid, 1);
    s += '#';
    s += Hex(frame.data, frame.length > sizeof(frame.data) ? sizeof(frame.data) : frame.length);
    s += '*';
    s += Hex(&frame.checksum, 1);
    return s;
}

std::string FormatCanLogLine(std::int64_t timeUs, const CanFrame& frame) {
    std::string s = Timestamp(timeUs);
    s += " can";
    s += static_cast<char>('0' + (frame.bus % 10));
    s += ' ';
    s += FormatCanFrame(frame);
    return s;
}

std::string FormatJ1708LogLine(std::int64_t timeUs, const J1708Frame& frame) {
    std::string s = Timestamp(timeUs);
    s += " j1708 ";
    s += FormatJ1708Frame(frame);
    return s;
}

}  // namespace gatewaysim
