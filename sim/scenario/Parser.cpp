#include "scenario/Parser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "logs/CandumpFormat.h"
#include "control/CommandParser.h"

namespace gatewaysim {

namespace {

constexpr std::int64_t kMaxMs = 3'600'000;
constexpr std::int64_t kDefaultWaitMs = 10'000;

bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The words of one statement, taken in order.
class Words {
public:
    explicit Words(std::vector<std::string> words) : words_(std::move(words)) {}
    std::string Next() { return at_ < words_.size() ? words_[at_++] : std::string(); }
    const std::string& Peek() const {
        static const std::string none;
        return at_ < words_.size() ? words_[at_] : none;
    }
    bool Take(const std::string& word) {
        if (Peek() != word || at_ >= words_.size()) return false;
        ++at_;
        return true;
    }
    bool Done() const { return at_ >= words_.size(); }
    std::vector<std::string> Rest() const {
        return {words_.begin() + static_cast<long>(std::min(at_, words_.size())), words_.end()};
    }

private:
    std::vector<std::string> words_;
    std::size_t at_ = 0;
};

using StatementParser = std::function<bool(Words&, Statement*, std::string*)>;

bool Fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

bool Ms(const std::string& text, std::int64_t* ms) { return ParseNumber(text, kMaxMs, ms); }

bool Address(const std::string& text, std::int32_t* address) {
    std::int64_t value = 0;
    if (!ParseNumber(text, 0x7FFFFFFF, &value)) return false;
    *address = static_cast<std::int32_t>(value);
    return true;
}

// The end of an expectation: `within MS` (or `for MS` for one that nothing
// comes), nothing more.
bool Window(Words& w, const char* word, Statement* s, std::string* error, const std::string& usage) {
    if (!w.Take(word) || !Ms(w.Next(), &s->ms)) return Fail(error, usage);
    return w.Done() || Fail(error, "unexpected '" + w.Peek() + "'; usage: " + usage.substr(usage.find(':') + 2));
}

bool Bus(Words& w, Statement* s, std::string* error, const std::string& usage) {
    std::string reason;
    return ParseInterfaceName(w.Next(), &s->bus, &reason) || Fail(error, "a bus is can0 to can4; " + usage);
}

bool ParseCanExpectation(Words& w, Statement* s, std::string* error) {
    const bool no = s->kind == Statement::Kind::kNoCan;
    const std::string usage = no ? "usage: expect no can canN FRAME [from ADDRESS] for MS"
                                 : "usage: expect can canN FRAME [from ADDRESS] [times COUNT] within MS";
    if (!Bus(w, s, error, usage)) return false;
    std::string reason;
    if (!FramePattern::Parse(w.Next(), &s->frame, &reason)) return Fail(error, reason + "; " + usage);
    if (w.Take("from")) {
        if (!Address(w.Next(), &s->address)) return Fail(error, "from takes an application's address; " + usage);
        s->fromApplication = true;
    }
    if (!no && w.Take("times") && !ParseNumber(w.Next(), 1'000'000, &s->times))
        return Fail(error, "times takes a count; " + usage);
    return Window(w, no ? "for" : "within", s, error, usage);
}

bool ParseJ1939Expectation(Words& w, Statement* s, std::string* error) {
    const bool no = s->kind == Statement::Kind::kNoJ1939;
    const std::string usage =
        no ? "usage: expect no j1939 canN PGN [from SA] [to DA] [data PATTERN] for MS"
           : "usage: expect j1939 canN PGN [from SA] [to DA] [data PATTERN] [times COUNT] within MS";
    if (!Bus(w, s, error, usage)) return false;
    std::uint64_t hex = 0;
    if (!ParseHex(w.Next(), 0x3FFFF, &hex)) return Fail(error, "a PGN is hex, 0 to 3FFFF; " + usage);
    s->j1939.pgn = static_cast<std::uint32_t>(hex);
    for (;;) {
        if (w.Peek() == "from" || w.Peek() == "to") {
            const bool from = w.Next() == "from";
            if (!ParseHex(w.Next(), 0xFF, &hex)) return Fail(error, "a J1939 address is hex, 00 to FF; " + usage);
            (from ? s->j1939.source : s->j1939.destination) = static_cast<int>(hex);
        } else if (w.Take("data")) {
            std::string reason;
            if (!DataPattern::Parse(w.Next(), 1785, &s->j1939.data, &reason)) return Fail(error, reason + "; " + usage);
        } else {
            break;
        }
    }
    if (!no && w.Take("times") && !ParseNumber(w.Next(), 1'000'000, &s->times))
        return Fail(error, "times takes a count; " + usage);
    return Window(w, no ? "for" : "within", s, error, usage);
}

bool ParsePeriod(Words& w, Statement* s, std::string* error) {
    const std::string usage = "usage: expect period canN ID MS tolerance PERCENT over WINDOW";
    if (!Bus(w, s, error, usage)) return false;
    std::string reason;
    const std::string id = w.Next();
    if (id.find('#') != std::string::npos || !FramePattern::Parse(id, &s->frame, &reason))
        return Fail(error, (reason.empty() ? "a period takes an identifier alone" : reason) + "; " + usage);
    if (!Ms(w.Next(), &s->periodMs) || s->periodMs == 0 || !w.Take("tolerance")) return Fail(error, usage);
    std::string percent = w.Next();
    if (!percent.empty() && percent.back() == '%') percent.pop_back();
    if (!ParseNumber(percent, 100, &s->tolerancePercent) || !w.Take("over") || !Ms(w.Next(), &s->ms) ||
        s->ms < s->periodMs)
        return Fail(error, usage + " (WINDOW at least MS)");
    return w.Done() || Fail(error, "unexpected '" + w.Peek() + "'; " + usage);
}

bool ParsePresence(Words& w, Statement* s, std::string* error) {
    const std::string usage = "usage: expect connected|gone ADDRESS [within MS]";
    if (!Address(w.Next(), &s->address)) return Fail(error, usage);
    if (w.Done()) return true;  // at once
    return Window(w, "within", s, error, usage);
}

bool ParseExit(Words& w, Statement* s, std::string* error) {
    const std::string usage = "usage: expect exit PROGRAM [CODE] [within MS]";
    const std::string program = w.Next();
    if (program.empty()) return Fail(error, usage);
    s->argv = {program};
    std::int64_t code = 0;
    if (!w.Done() && w.Peek() != "within") {
        if (!ParseNumber(w.Next(), 255, &code)) return Fail(error, "an exit code is 0 to 255; " + usage);
        s->exitCode = static_cast<int>(code);
    }
    if (w.Done()) return true;
    return Window(w, "within", s, error, usage);
}

bool ParseRunning(Words& w, Statement* s, std::string* error) {
    s->argv = {w.Next()};
    return (!s->argv[0].empty() && w.Done()) || Fail(error, "usage: expect running PROGRAM");
}

bool ParseOutput(Words& w, Statement* s, std::string* error) {
    const std::string usage = "usage: expect output PROGRAM TEXT [within MS] (TEXT quoted when it has blanks)";
    s->argv = {w.Next()};
    s->command = w.Next();
    if (s->argv[0].empty() || s->command.empty()) return Fail(error, usage);
    if (w.Done()) return true;
    return Window(w, "within", s, error, usage);
}

bool ParseEeprom(Words& w, Statement* s, std::string* error) {
    const std::string usage = "usage: expect eeprom ADDRESS OFFSET HEX [saved] [within MS]";
    std::string reason;
    if (!Address(w.Next(), &s->address) || !ParseNumber(w.Next(), 0x7FFFFFFF, &s->offset)) return Fail(error, usage);
    if (!DataPattern::Parse(w.Next(), 1024, &s->data, &reason)) return Fail(error, reason + "; " + usage);
    s->saved = w.Take("saved");
    if (w.Done()) return true;
    return Window(w, "within", s, error, usage);
}

// An optional bus first: `canN` names one, anything else leaves any bus.
bool OptionalBus(Words& w, Statement* s) {
    std::string reason;
    if (w.Peek().rfind("can", 0) != 0 || !ParseInterfaceName(w.Peek(), &s->bus, &reason)) return false;
    w.Next();
    s->busGiven = true;
    return true;
}

bool From(Words& w, Statement* s, std::string* error, const std::string& usage) {
    std::uint64_t hex = 0;
    if (!w.Take("from")) return true;
    if (!ParseHex(w.Next(), 0xFF, &hex)) return Fail(error, "a J1939 address is hex, 00 to FF; " + usage);
    s->j1939.source = static_cast<int>(hex);
    return true;
}

bool ParseSignalExpectation(Words& w, Statement* s, std::string* error) {
    const std::string usage =
        "usage: expect signal [canN] MESSAGE.SIGNAL ==|!=|<|<=|>|>= VALUE [from SA] within MS, or "
        "expect signal [canN] MESSAGE.SIGNAL between A B [from SA] within MS";
    OptionalBus(w, s);
    const std::string name = w.Next();
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() || name.find('.', dot + 1) != std::string::npos)
        return Fail(error, "a signal is MESSAGE.SIGNAL; " + usage);
    s->signal.message = name.substr(0, dot);
    s->signal.signal = name.substr(dot + 1);
    if (!SignalCondition::ParseOp(w.Next(), &s->signal.op)) return Fail(error, usage);
    s->signal.valueText = w.Next();
    if (s->signal.op == SignalCondition::Op::kBetween) s->signal.upperText = w.Next();
    if (s->signal.valueText.empty() || (s->signal.op == SignalCondition::Op::kBetween && s->signal.upperText.empty()))
        return Fail(error, usage);
    if (!From(w, s, error, usage)) return false;
    return Window(w, "within", s, error, usage);
}

bool ParseDtcExpectation(Words& w, Statement* s, std::string* error) {
    const std::string usage =
        "usage: expect dtc [canN] [from SA] SPN FMI [lamp mil|red|amber|protect] within MS, or "
        "expect dtc [canN] [from SA] none within MS";
    OptionalBus(w, s);
    if (!From(w, s, error, usage)) return false;
    if (w.Take("none")) {
        s->dtc.none = true;
        return Window(w, "within", s, error, usage);
    }
    std::int64_t spn = 0;
    std::int64_t fmi = 0;
    if (!ParseNumber(w.Next(), 524287, &spn) || !ParseNumber(w.Next(), 31, &fmi))
        return Fail(error, "an SPN is 0 to 524287 and an FMI 0 to 31; " + usage);
    s->dtc.spn = static_cast<std::uint32_t>(spn);
    s->dtc.fmi = static_cast<std::uint8_t>(fmi);
    if (w.Take("lamp")) {
        static const char* const lamps[] = {"mil", "red", "amber", "protect"};
        const std::string lamp = w.Next();
        for (int i = 0; i < 4; ++i)
            if (lamp == lamps[i]) s->dtc.lamp = i;
        if (s->dtc.lamp == DtcPattern::kNoLamp) return Fail(error, "a lamp is mil, red, amber or protect; " + usage);
    }
    return Window(w, "within", s, error, usage);
}

const std::map<std::string, std::pair<Statement::Kind, StatementParser>>& Expectations() {
    static const std::map<std::string, std::pair<Statement::Kind, StatementParser>> table = {
        {"can", {Statement::Kind::kCan, ParseCanExpectation}},
        {"no can", {Statement::Kind::kNoCan, ParseCanExpectation}},
        {"j1939", {Statement::Kind::kJ1939, ParseJ1939Expectation}},
        {"no j1939", {Statement::Kind::kNoJ1939, ParseJ1939Expectation}},
        {"period", {Statement::Kind::kPeriod, ParsePeriod}},
        {"connected", {Statement::Kind::kConnected, ParsePresence}},
        {"gone", {Statement::Kind::kGone, ParsePresence}},
        {"exit", {Statement::Kind::kExit, ParseExit}},
        {"running", {Statement::Kind::kRunning, ParseRunning}},
        {"output", {Statement::Kind::kOutput, ParseOutput}},
        {"eeprom", {Statement::Kind::kEeprom, ParseEeprom}},
        {"signal", {Statement::Kind::kSignal, ParseSignalExpectation}},
        {"dtc", {Statement::Kind::kDtc, ParseDtcExpectation}},
    };
    return table;
}

bool ParseStatement(const std::string& text, Statement* s, std::string* error) {
    std::vector<std::string> list;
    if (!SplitWords(text, &list, error)) return false;
    Words w(list);
    const std::string first = w.Next();
    if (first == "start") {
        s->kind = Statement::Kind::kStart;
        s->argv = w.Rest();
        return !s->argv.empty() || Fail(error, "usage: start PROGRAM [ARGUMENTS]");
    }
    if (first == "every") {
        const std::string usage = "usage: every MS canN FRAME [for MS]";
        s->kind = Statement::Kind::kEvery;
        if (!Ms(w.Next(), &s->everyMs) || s->everyMs == 0) return Fail(error, usage);
        const std::string bus = w.Next();
        s->command = bus + " " + w.Next();
        Command command;
        std::string reason;
        if (!ParseCommand(s->command, &command, &reason) || command.kind != Command::Kind::kCan)
            return Fail(error, (reason.empty() ? "a CAN frame" : reason) + "; " + usage);
        if (w.Done()) return true;
        return Window(w, "for", s, error, usage);
    }
    if (first == "stop" && w.Take("every")) {
        s->kind = Statement::Kind::kStopEvery;
        if (w.Done()) return true;
        const std::string bus = w.Next();
        s->command = bus + " " + w.Next();
        return w.Done() || Fail(error, "usage: stop every [canN FRAME]");
    }
    if (first == "stop") {
        s->kind = Statement::Kind::kStop;
        s->argv = w.Rest();
        return s->argv.size() == 1 || Fail(error, "usage: stop PROGRAM");
    }
    if (first == "wait") {
        const std::string usage = "usage: wait MS | wait connected ADDRESS [MS] | wait subscribed ADDRESS canN ID [MS]";
        if (w.Take("subscribed")) {
            const std::string subscribedUsage = "usage: wait subscribed ADDRESS canN ID [MS]";
            s->kind = Statement::Kind::kWaitSubscribed;
            s->ms = kDefaultWaitMs;
            if (!Address(w.Next(), &s->address) || !Bus(w, s, error, subscribedUsage)) return Fail(error, subscribedUsage);
            const std::string id = w.Next();
            std::uint64_t value = 0;
            if ((id.size() != 3 && id.size() != 8) || !ParseHex(id, id.size() == 3 ? 0x7FF : 0x1FFFFFFF, &value))
                return Fail(error, "an identifier has 3 or 8 hex digits; " + subscribedUsage);
            s->id = static_cast<std::uint32_t>(value);
            s->extended = id.size() == 8;
            if ((!w.Done() && !Ms(w.Next(), &s->ms)) || !w.Done()) return Fail(error, subscribedUsage);
            return true;
        }
        if (w.Take("connected")) {
            s->kind = Statement::Kind::kWaitConnected;
            s->ms = kDefaultWaitMs;
            if (!Address(w.Next(), &s->address) || (!w.Done() && !Ms(w.Next(), &s->ms)) || !w.Done())
                return Fail(error, usage);
            return true;
        }
        s->kind = Statement::Kind::kWait;
        return (Ms(w.Next(), &s->ms) && w.Done()) || Fail(error, usage);
    }
    if (first == "expect") {
        std::string what = w.Next();
        if (what == "no") what += " " + w.Next();
        const auto found = Expectations().find(what);
        if (found == Expectations().end()) {
            std::string kinds;
            for (const auto& entry : Expectations()) kinds += (kinds.empty() ? "" : "|") + entry.first;
            return Fail(error, "usage: expect " + kinds + " ...");
        }
        s->kind = found->second.first;
        return found->second.second(w, s, error);
    }
    Command command;
    s->kind = Statement::Kind::kCommand;
    return ParseCommand(text, &command, error);
}

}  // namespace

bool Statement::IsExpectation() const {
    switch (kind) {
        case Kind::kCommand:
        case Kind::kStart:
        case Kind::kStop:
        case Kind::kWait:
        case Kind::kWaitConnected:
        case Kind::kWaitSubscribed:
        case Kind::kEvery:
        case Kind::kStopEvery:
        case Kind::kCase:
            return false;
        default:
            return true;
    }
}

namespace {

// Resolves one `expect signal`; an empty reason when it could be.
std::string Resolve(const signaldb::BusDatabases* databases, Statement* s) {
    SignalCondition& c = s->signal;
    const std::string name = c.message + "." + c.signal;
    if (databases == nullptr || databases->empty())
        return "no signal database knows " + name + ": give one with --dbc [canN:]FILE";
    const int bus = s->busGiven ? s->bus : signaldb::BusDatabases::kAllBuses;
    c.dbcMessage = databases->FindByName(c.message, bus);
    if (c.dbcMessage == nullptr)
        return "no signal database" + (s->busGiven ? " for can" + std::to_string(s->bus) : std::string()) +
               " has a message " + c.message;
    c.dbcSignal = c.dbcMessage->FindSignal(c.signal);
    if (c.dbcSignal == nullptr) return "the message " + c.message + " has no signal " + c.signal;
    if (s->j1939.source >= 0 && !c.dbcMessage->extended)
        return "from takes a J1939 sender; " + c.message + " is a standard frame";
    const auto value = [&](const std::string& text, double* out) {
        const std::optional<double> parsed = c.dbcSignal->ParseValue(text);
        if (parsed) *out = *parsed;
        return parsed.has_value();
    };
    if (!value(c.valueText, &c.value)) return "'" + c.valueText + "' is no number or value name of " + name;
    if (c.op == SignalCondition::Op::kBetween && !value(c.upperText, &c.upper))
        return "'" + c.upperText + "' is no number or value name of " + name;
    if (c.op == SignalCondition::Op::kBetween && c.upper < c.value) return "between takes the lower value first";
    c.tolerance = c.dbcSignal->valueType == signaldb::ValueType::kInteger
                      ? std::fabs(c.dbcSignal->factor) / 2
                      : std::max(1.0, std::fabs(c.value)) * 1e-9;
    return "";
}

}  // namespace

void ResolveSignals(Script* script, const signaldb::BusDatabases* databases, std::vector<ParseError>* errors) {
    const auto block = [&](std::vector<Statement>& statements) {
        for (Statement& s : statements) {
            if (s.kind != Statement::Kind::kSignal) continue;
            const std::string reason = Resolve(databases, &s);
            if (!reason.empty()) errors->push_back(ParseError{s.line, reason});
        }
    };
    block(script->statements);
    block(script->setup.statements);
    block(script->teardown.statements);
    for (Block& c : script->cases) block(c.statements);
    std::sort(errors->begin(), errors->end(), [](const ParseError& a, const ParseError& b) { return a.line < b.line; });
}

bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (Blank(c)) {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            if (++i == line.size()) return Fail(error, "a backslash at the end of the line");
            word += line[i];
        } else if (c == '\'') {
            const std::size_t close = line.find('\'', i + 1);
            if (close == std::string::npos) return Fail(error, "a single quote is not closed");
            word += line.substr(i + 1, close - i - 1);
            i = close;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i == line.size()) return Fail(error, "a double quote is not closed");
                if (line[i] == '"') break;
                if (line[i] == '\\' && i + 1 < line.size() && std::string("\"\\$`").find(line[i + 1]) != std::string::npos)
                    ++i;
                word += line[i];
            }
        } else {
            word += c;
        }
    }
    if (inWord) words->push_back(word);
    return true;
}

bool ParseHex(const std::string& text, std::uint64_t max, std::uint64_t* value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.erase(0, 2);
    if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = std::strtoull(digits.c_str(), nullptr, 16);
    return *value <= max;
}

bool ParseNumber(const std::string& text, std::int64_t max, std::int64_t* value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint64_t hex = 0;
        if (!ParseHex(text, static_cast<std::uint64_t>(max), &hex)) return false;
        *value = static_cast<std::int64_t>(hex);
        return true;
    }
    if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = std::strtoll(text.c_str(), nullptr, 10);
    return *value <= max;
}

Script ParseScenario(std::istream& in, std::vector<ParseError>* errors) {
    Script script;
    // The block being read: null outside blocks.
    Block* block = nullptr;
    std::string line;
    int number = 0;
    for (number = 1; std::getline(in, line); ++number) {
        std::size_t first = 0;
        while (first < line.size() && Blank(line[first])) ++first;
        std::size_t last = line.size();
        while (last > first && Blank(line[last - 1])) --last;
        if (first == last || line[first] == '#') continue;
        Statement statement;
        statement.line = number;
        statement.text = line.substr(first, last - first);
        std::vector<std::string> words;
        std::string reason;
        if (SplitWords(statement.text, &words, &reason) && !words.empty() &&
            (words[0] == "case" || words[0] == "setup" || words[0] == "teardown" || words[0] == "end")) {
            const std::string& word = words[0];
            if (word == "end") {
                if (words.size() != 1) reason = "usage: end";
                else if (block == nullptr) reason = "end without case, setup or teardown";
                else block = nullptr;
            } else if (block != nullptr) {
                reason = "a block is ended with end before " + word + " (block of line " + std::to_string(block->line) + ")";
            } else if (word == "case") {
                const bool taken = std::any_of(script.cases.begin(), script.cases.end(),
                                               [&](const Block& b) { return words.size() == 2 && b.name == words[1]; });
                if (words.size() != 2) {
                    reason = "usage: case NAME (one word) ... end";
                } else if (taken) {
                    reason = "a case named " + words[1] + " is there already";
                } else {
                    statement.kind = Statement::Kind::kCase;
                    statement.block = script.cases.size();
                    script.cases.push_back(Block{words[1], number, {}});
                    script.statements.push_back(statement);
                    block = &script.cases.back();
                }
            } else {
                Block& target = word == "setup" ? script.setup : script.teardown;
                if (words.size() != 1) reason = "usage: " + word + " ... end";
                else if (target.line != 0) reason = "a file has one " + word + " block";
                else {
                    target = Block{word, number, {}};
                    block = &target;
                }
            }
            if (!reason.empty()) errors->push_back(ParseError{number, reason});
            continue;
        }
        if (!ParseStatement(statement.text, &statement, &reason)) {
            errors->push_back(ParseError{number, reason});
            continue;
        }
        (block != nullptr ? block->statements : script.statements).push_back(std::move(statement));
    }
    if (block != nullptr) errors->push_back(ParseError{block->line, "the " + block->name + " block has no end"});
    return script;
}

}  // namespace gatewaysim
