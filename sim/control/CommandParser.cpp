#include "control/CommandParser.h"

#include <vector>

#include "logs/CandumpFormat.h"

namespace gatewaysim {

namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) ++i;
        const std::size_t start = i;
        while (i < line.size() && !(line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// Decimal, or hex after "0x"; at most `max`.
bool Number(std::string_view text, std::uint64_t max, std::uint64_t* value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 16) return false;
    std::uint64_t v = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (v > max) return false;
    }
    *value = v;
    return true;
}

bool Fail(std::string* error, const std::string& reason) {
    if (error) *error = reason;
    return false;
}

constexpr const char* kReplayUsage =
    "usage: replay FILE [fast] [loop[=N]] [skip-gaps] [NAME=canN ...] | replay stop | replay";

// "replay" and its arguments (words[0] is the verb).
bool ParseReplay(const std::vector<std::string_view>& words, Command* c, std::string* error) {
    if (words.size() == 1) {
        c->kind = Command::Kind::kReplayStatus;
        return true;
    }
    if (words.size() == 2 && words[1] == "stop") {
        c->kind = Command::Kind::kReplayStop;
        return true;
    }
    c->kind = Command::Kind::kReplay;
    c->path = std::string(words[1]);
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string_view word = words[i];
        std::uint64_t passes = 0;
        const std::size_t equals = word.find('=');
        if (word == "fast") {
            c->fast = true;
        } else if (word == "skip-gaps") {
            c->skipGaps = true;
        } else if (word == "loop") {
            c->passes = 0;
        } else if (word.substr(0, 5) == "loop=") {
            if (!Number(word.substr(5), 1000000, &passes) || passes == 0)
                return Fail(error, "loop=N plays the file N times, N 1 to 1000000");
            c->passes = static_cast<int>(passes);
        } else if (equals != std::string_view::npos && equals > 0) {
            std::uint8_t bus = 0;
            std::string reason;
            const std::string_view target = word.substr(equals + 1);
            if (target.size() != 4 || target.substr(0, 3) != "can" || !ParseInterfaceName(target, &bus, &reason))
                return Fail(error, "a mapping is NAME=canN, N 0 to 4 ('" + std::string(word) + "')");
            c->mapping.emplace_back(std::string(word.substr(0, equals)), bus);
        } else {
            return Fail(error, std::string(kReplayUsage) + " ('" + std::string(word) + "' unknown)");
        }
    }
    return true;
}

bool ParseService(std::string_view word, FaultCommand::Service* service) {
    for (const auto candidate : {FaultCommand::Service::kEeprom, FaultCommand::Service::kJ1939,
                                 FaultCommand::Service::kPlugin}) {
        if (word == ServiceName(candidate)) {
            *service = candidate;
            return true;
        }
    }
    return false;
}

bool IsFaultVerb(std::string_view verb) {
    for (const char* fault :
         {"stall", "delay", "withhold", "eeprom", "restart", "take", "silence", "faults", "clear"}) {
        if (verb == fault) return true;
    }
    return false;
}

// A fault command (IsFaultVerb holds for its verb); false when its arguments
// do not parse.
bool ParseFault(const std::vector<std::string_view>& words, FaultCommand* f, std::string* error) {
    const std::string_view verb = words[0];
    const std::size_t args = words.size() - 1;
    constexpr std::uint64_t kMaxMs = 3'600'000;
    std::uint64_t value = 0;
    std::string reason;
    if (verb == "faults" || verb == "clear") {
        f->kind = verb == "faults" ? FaultCommand::Kind::kList : FaultCommand::Kind::kClear;
        if (args == 0) return true;
        return Fail(error, std::string(verb) + " takes no arguments");
    }
    if (verb == "restart") {
        f->kind = FaultCommand::Kind::kRestart;
        if (args == 0) return true;
        return Fail(error, "restart takes no arguments");
    }
    if (verb == "stall") {
        f->kind = FaultCommand::Kind::kStall;
        if (args == 2 && (words[1] == "all" || (Number(words[1], 0x7FFFFFFF, &value) && value != 0))) {
            f->address = words[1] == "all" ? 0 : static_cast<std::int32_t>(value);
            if (Number(words[2], kMaxMs, &value) && value > 0) {
                f->ms = static_cast<std::int64_t>(value);
                return true;
            }
        }
        return Fail(error, "usage: stall ADDRESS|all MS (1 to 3600000 ms)");
    }
    if (verb == "delay") {
        f->kind = FaultCommand::Kind::kDelay;
        if (args == 2 && ParseService(words[1], &f->service) && Number(words[2], kMaxMs, &value)) {
            f->ms = static_cast<std::int64_t>(value);
            return true;
        }
        return Fail(error, "usage: delay eeprom|j1939|plugin MS (0 ends it)");
    }
    if (verb == "withhold") {
        f->kind = FaultCommand::Kind::kWithhold;
        if ((args == 1 || args == 2) && ParseService(words[1], &f->service) &&
            (args == 1 || (Number(words[2], 0x7FFFFFFF, &value) && value > 0))) {
            f->count = args == 2 ? static_cast<std::int64_t>(value) : -1;
            return true;
        }
        return Fail(error, "usage: withhold eeprom|j1939|plugin [COUNT]");
    }
    if (verb == "eeprom") {
        f->kind = FaultCommand::Kind::kEepromFail;
        static const std::pair<std::string_view, FaultCommand::Operation> kOperations[] = {
            {"read", FaultCommand::Operation::kRead}, {"write", FaultCommand::Operation::kWrite},
            {"save", FaultCommand::Operation::kSave}, {"off", FaultCommand::Operation::kNone}};
        if (args == 3 && Number(words[1], 0x7FFFFFFF, &value) && value != 0 && words[2] == "fail") {
            f->address = static_cast<std::int32_t>(value);
            for (const auto& [word, operation] : kOperations) {
                if (words[3] != word) continue;
                f->operation = operation;
                return true;
            }
        }
        return Fail(error, "usage: eeprom ADDRESS fail read|write|save|off");
    }
    if (verb == "take" || verb == "silence") {
        const bool take = verb == "take";
        f->kind = take ? FaultCommand::Kind::kTake : FaultCommand::Kind::kSilence;
        const bool shape = take ? (args == 2 || args == 3) : args == 2;
        if (shape && ParseInterfaceName(words[1], &f->bus, &reason)) {
            // A J1939 address is hex, with or without "0x", as everywhere.
            const std::string_view address = words[2];
            const bool hexAddress = address.size() > 2 && address[0] == '0' && (address[1] == 'x' || address[1] == 'X');
            if (take && Number(hexAddress ? std::string(address) : "0x" + std::string(address), 253, &value)) {
                f->address = static_cast<std::int32_t>(value);
                if (args == 2) return true;
                std::string_view name = words[3];
                const bool hex = name.size() > 2 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X');
                const std::string prefixed = "0x" + std::string(name);
                if (!hex && Number(prefixed, ~std::uint64_t{0}, &f->name)) return true;
                if (hex && Number(name, ~std::uint64_t{0}, &f->name)) return true;
            } else if (!take && Number(words[2], kMaxMs, &value) && value > 0) {
                f->ms = static_cast<std::int64_t>(value);
                return true;
            }
        }
        return Fail(error, take ? "usage: take canN ADDRESS [NAME] (ADDRESS 00 to FD and NAME in hex)"
                                : "usage: silence canN MS (1 to 3600000 ms)");
    }
    return Fail(error, "unknown fault");
}

}  // namespace

const char* ServiceName(FaultCommand::Service service) {
    switch (service) {
        case FaultCommand::Service::kEeprom: return "eeprom";
        case FaultCommand::Service::kJ1939: return "j1939";
        case FaultCommand::Service::kPlugin: return "plugin";
    }
    return "?";
}

bool ParseCommand(std::string_view line, Command* command, std::string* error) {
    std::vector<std::string_view> words = Words(line);
    Command c;
    if (words.empty() || words[0][0] == '#') {
        *command = c;
        return true;
    }
    if (words[0] == "cansend") words.erase(words.begin());
    if (words.empty()) return Fail(error, "usage: cansend canN ID#DATA");
    const std::string_view verb = words[0];
    const std::size_t args = words.size() - 1;

    if (verb == "help" || verb == "?") {
        c.kind = Command::Kind::kHelp;
    } else if (verb == "list" || verb == "apps") {
        c.kind = Command::Kind::kList;
    } else if (verb == "timing") {
        c.kind = Command::Kind::kTiming;
    } else if (verb == "j1939") {
        c.kind = Command::Kind::kJ1939;
    } else if (verb == "quit" || verb == "exit") {
        c.kind = Command::Kind::kQuit;
    } else if (verb == "j1708") {
        if (args != 1) return Fail(error, "usage: j1708 MID#DATA");
        c.kind = Command::Kind::kJ1708;
        if (!ParseJ1708Text(words[1], &c.j1708, error)) return false;
    } else if (verb == "job") {
        std::uint64_t address, mode, bus, parameter;
        if (args != 4 || !Number(words[1], 0x7FFFFFFF, &address) || address == 0 ||
            !Number(words[2], 0xFFFFFFFF, &mode) || !Number(words[3], 255, &bus) ||
            !Number(words[4], 255, &parameter))
            return Fail(error, "usage: job ADDRESS MODE BUS PARAM (bus and parameter 0 to 255)");
        c.kind = Command::Kind::kJob;
        c.address = static_cast<std::int32_t>(address);
        c.mode = static_cast<std::uint32_t>(mode);
        c.bus = static_cast<std::uint8_t>(bus);
        c.parameter = static_cast<std::uint8_t>(parameter);
    } else if (verb == "drop") {
        std::uint64_t address;
        if (args != 1 || !Number(words[1], 0x7FFFFFFF, &address) || address == 0)
            return Fail(error, "usage: drop ADDRESS");
        c.kind = Command::Kind::kDrop;
        c.address = static_cast<std::int32_t>(address);
    } else if (verb == "replay") {
        if (!ParseReplay(words, &c, error)) return false;
    } else if (IsFaultVerb(verb)) {
        if (!ParseFault(words, &c.fault, error)) return false;
        c.kind = Command::Kind::kFault;
    } else {
        std::uint8_t bus = 0;
        std::string reason;
        if (!ParseInterfaceName(verb, &bus, &reason))
            return Fail(error, "unknown command '" + std::string(verb) + "' (try help)");
        if (args != 1) return Fail(error, "usage: canN ID#DATA");
        c.kind = Command::Kind::kCan;
        c.can.bus = bus;
        if (!ParseCanFrameText(words[1], &c.can, error)) return false;
    }
    if ((c.kind == Command::Kind::kHelp || c.kind == Command::Kind::kList || c.kind == Command::Kind::kTiming ||
         c.kind == Command::Kind::kQuit || c.kind == Command::Kind::kJ1939) &&
        args != 0)
        return Fail(error, std::string(verb) + " takes no arguments");
    *command = c;
    return true;
}

const char* CommandHelp() {
    return "canN ID#DATA                put a CAN frame on bus N (0 to 4); ID of 3 or 8 hex digits,\n"
           "                            DATA up to 8 bytes in hex ('.' allowed between bytes), or R\n"
           "j1708 MID#DATA[*CK]         put a J1708 frame on the bus (the checksum is computed)\n"
           "job ADDRESS MODE BUS PARAM  start a plug-in job for the application at ADDRESS\n"
           "list                        applications with their subscriptions, CAs and EEPROMs\n"
           "timing                      cyclic frames, their periods and drifts\n"
           "j1939                       J1939 address tables (NAMEs, owners) and transport sessions\n"
           "replay FILE [fast] [loop[=N]] [skip-gaps] [NAME=canN ...]\n"
           "                            replay a log with its timing, or as fast as possible; N times,\n"
           "                            or until stopped; not waiting for gaps over 10 s; the log's\n"
           "                            interface NAME onto bus N (then only the interfaces named)\n"
           "replay stop                 end the replay in progress\n"
           "replay                      the replay's file, frames sent, lines refused, position, pass\n"
           "drop ADDRESS                disconnect an application\n"
           "stall ADDRESS|all MS        fault: the platform neither reads from nor writes to the application(s)\n"
           "delay eeprom|j1939|plugin MS    fault: that service answers MS late (0 ends it)\n"
           "withhold eeprom|j1939|plugin [COUNT]  fault: the next COUNT answers (default: all) never come\n"
           "eeprom ADDRESS fail read|write|save|off  fault: that EEPROM operation fails (-5)\n"
           "restart                     fault: every connection closed, unsaved EEPROM bytes lost\n"
           "take canN ADDRESS [NAME]    fault: a node on the bus claims the address (NAME in hex, default 0)\n"
           "silence canN MS             fault: the bus carries nothing for MS; frames sent are counted\n"
           "faults                      the faults in force\n"
           "clear                       end every fault\n"
           "help                        this list\n"
           "quit                        end the simulator\n";
}

}  // namespace gatewaysim
