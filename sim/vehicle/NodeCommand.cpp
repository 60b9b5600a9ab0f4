#include "vehicle/NodeCommand.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace gatewaysim {

namespace {

constexpr const char* kNodeUsage = "usage: node NAME canN address SA [name HEX-NAME] [from DBC-NODE]";
constexpr const char* kDtcUsage =
    "usage: dtc NODE add SPN FMI [count N] [lamp mil|red|amber|protect [flash]] ... | dtc NODE clear";

bool Fail(std::string* error, const std::string& reason) {
    if (error) *error = reason;
    return false;
}

bool Hex(std::string_view text, std::uint64_t max, std::uint64_t* value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > 16) return false;
    std::uint64_t v = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v, 16);
    if (error != std::errc() || end != text.data() + text.size() || v > max) return false;
    *value = v;
    return true;
}

bool Decimal(std::string_view text, std::uint64_t max, std::uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > max) return false;
    *value = v;
    return true;
}

bool Real(std::string_view text, double* value) {
    if (text.empty() || text.size() > 64) return false;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || errno == ERANGE || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

// Letters, digits, '_' and '-'; not starting with a digit or '-'.
bool IsNodeName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    if ((name[0] >= '0' && name[0] <= '9') || name[0] == '-') return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '-';
        if (!ok) return false;
    }
    return true;
}

bool Bus(std::string_view text, std::uint8_t* bus) {
    if (text.size() != 4 || text.substr(0, 3) != "can" || text[3] < '0' || text[3] > '4') return false;
    *bus = static_cast<std::uint8_t>(text[3] - '0');
    return true;
}

// NODE.MESSAGE.SIGNAL
bool SignalPath(std::string_view text, NodeCommand* c) {
    const std::size_t first = text.find('.');
    const std::size_t second = first == std::string_view::npos ? first : text.find('.', first + 1);
    if (second == std::string_view::npos || text.find('.', second + 1) != std::string_view::npos) return false;
    c->node = std::string(text.substr(0, first));
    c->message = std::string(text.substr(first + 1, second - first - 1));
    c->signal = std::string(text.substr(second + 1));
    return IsNodeName(c->node) && !c->message.empty() && !c->signal.empty();
}

bool ParseNode(const std::vector<std::string_view>& words, NodeCommand* c, std::string* error) {
    std::uint64_t value = 0;
    if (words.size() < 5 || !IsNodeName(words[1]) || !Bus(words[2], &c->bus) || words[3] != "address" ||
        !Hex(words[4], 253, &value))
        return Fail(error, std::string(kNodeUsage) + " (SA 00 to FD in hex)");
    c->node = std::string(words[1]);
    c->address = static_cast<std::uint8_t>(value);
    for (std::size_t at = 5; at < words.size(); at += 2) {
        if (at + 1 >= words.size()) return Fail(error, kNodeUsage);
        if (words[at] == "name" && !c->hasName) {
            if (!Hex(words[at + 1], ~std::uint64_t{0}, &c->name)) return Fail(error, "a NAME is up to 16 hex digits");
            c->hasName = true;
        } else if (words[at] == "from" && c->dbcNode.empty()) {
            c->dbcNode = std::string(words[at + 1]);
        } else {
            return Fail(error, kNodeUsage);
        }
    }
    return true;
}

bool ParseDtc(const std::vector<std::string_view>& words, NodeCommand* c, std::string* error) {
    if (words.size() < 3 || !IsNodeName(words[1])) return Fail(error, kDtcUsage);
    c->node = std::string(words[1]);
    if (words[2] == "clear") {
        if (words.size() != 3) return Fail(error, kDtcUsage);
        c->kind = NodeCommand::Kind::kDtcClear;
        return true;
    }
    std::uint64_t spn = 0, fmi = 0, count = 0;
    if (words[2] != "add" || words.size() < 5 || !Decimal(words[3], 0x7FFFF, &spn) || !Decimal(words[4], 31, &fmi))
        return Fail(error, std::string(kDtcUsage) + " (SPN 0 to 524287, FMI 0 to 31)");
    c->kind = NodeCommand::Kind::kDtcAdd;
    c->spn = static_cast<std::uint32_t>(spn);
    c->fmi = static_cast<std::uint8_t>(fmi);
    for (std::size_t at = 5; at < words.size();) {
        if (words[at] == "count" && at + 1 < words.size() && c->count < 0) {
            if (!Decimal(words[at + 1], 126, &count)) return Fail(error, "an occurrence count is 0 to 126");
            c->count = static_cast<int>(count);
            at += 2;
        } else if (words[at] == "lamp" && at + 1 < words.size()) {
            const std::string_view lamp = words[at + 1];
            unsigned bit = 0;
            if (lamp == "mil") bit = NodeCommand::kMil;
            else if (lamp == "red") bit = NodeCommand::kRed;
            else if (lamp == "amber") bit = NodeCommand::kAmber;
            else if (lamp == "protect") bit = NodeCommand::kProtect;
            else return Fail(error, "a lamp is mil, red, amber or protect");
            c->lamps |= bit;
            at += 2;
            if (at < words.size() && words[at] == "flash") {
                c->flashing |= bit;
                ++at;
            }
        } else {
            return Fail(error, kDtcUsage);
        }
    }
    return true;
}

}  // namespace

bool IsNodeVerb(std::string_view verb) {
    return verb == "node" || verb == "nodes" || verb == "set" || verb == "ramp" || verb == "pause" ||
           verb == "resume" || verb == "ident" || verb == "dtc";
}

bool ParseNodeCommand(std::string_view line, const std::vector<std::string_view>& words, NodeCommand* command,
                      std::string* error) {
    NodeCommand c;
    const std::string_view verb = words.at(0);
    if (verb == "nodes") {
        if (words.size() != 1) return Fail(error, "nodes takes no arguments");
        c.kind = NodeCommand::Kind::kNodes;
    } else if (verb == "node") {
        c.kind = NodeCommand::Kind::kNode;
        if (!ParseNode(words, &c, error)) return false;
    } else if (verb == "pause" || verb == "resume") {
        if (words.size() != 2 || !IsNodeName(words[1])) return Fail(error, "usage: " + std::string(verb) + " NODE");
        c.kind = verb == "pause" ? NodeCommand::Kind::kPause : NodeCommand::Kind::kResume;
        c.node = std::string(words[1]);
    } else if (verb == "set") {
        if (words.size() != 3 || !SignalPath(words[1], &c)) return Fail(error, "usage: set NODE.MESSAGE.SIGNAL VALUE");
        c.kind = NodeCommand::Kind::kSet;
        c.value = std::string(words[2]);
    } else if (verb == "ramp") {
        if (words.size() != 6 || !SignalPath(words[1], &c) || !Real(words[2], &c.from) || !Real(words[3], &c.to) ||
            words[4] != "over")
            return Fail(error, "usage: ramp NODE.MESSAGE.SIGNAL FROM TO over MS");
        std::uint64_t ms = 0;
        if (!Decimal(words[5], 86'400'000, &ms) || ms == 0) return Fail(error, "a ramp lasts 1 to 86400000 ms");
        c.kind = NodeCommand::Kind::kRamp;
        c.ms = static_cast<std::int64_t>(ms);
    } else if (verb == "ident") {
        if (words.size() < 4 || !IsNodeName(words[1]))
            return Fail(error, "usage: ident NODE vin|software|component TEXT");
        c.kind = NodeCommand::Kind::kIdent;
        c.node = std::string(words[1]);
        if (words[2] == "vin") c.pgn = 65260;
        else if (words[2] == "software") c.pgn = 65242;
        else if (words[2] == "component") c.pgn = 65259;
        else return Fail(error, "usage: ident NODE vin|software|component TEXT");
        // The text runs to the end of the line, spaces included.
        std::string_view text = line.substr(static_cast<std::size_t>(words[3].data() - line.data()));
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
            text.remove_suffix(1);
        c.text = std::string(text);
    } else if (verb == "dtc") {
        if (!ParseDtc(words, &c, error)) return false;
    } else {
        return Fail(error, "not a node command");
    }
    *command = c;
    return true;
}

bool ReadNodesFile(const std::string& path, std::vector<NodeLine>* lines, std::string* error) {
    std::ifstream in(path);
    if (!in) return Fail(error, path + ": " + std::strerror(errno != 0 ? errno : ENOENT));
    lines->clear();
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::vector<std::string_view> words;
        const std::string_view text(line);
        for (std::size_t i = 0; i < text.size();) {
            while (i < text.size() && std::strchr(" \t\r\n", text[i]) != nullptr) ++i;
            const std::size_t start = i;
            while (i < text.size() && std::strchr(" \t\r\n", text[i]) == nullptr) ++i;
            if (i > start) words.push_back(text.substr(start, i - start));
        }
        if (words.empty() || words[0][0] == '#') continue;
        NodeLine parsed;
        parsed.number = number;
        std::string reason;
        if (!IsNodeVerb(words[0]) || words[0] == "nodes") {
            reason = "not a node command: " + std::string(words[0]);
        } else if (!ParseNodeCommand(text, words, &parsed.command, &reason)) {
            // reason set
        } else {
            lines->push_back(std::move(parsed));
            continue;
        }
        return Fail(error, path + ":" + std::to_string(number) + ": " + reason);
    }
    if (in.bad()) return Fail(error, path + ": read error");
    return true;
}

}  // namespace gatewaysim
