#include "scenario/Scenario.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "IPCClient.h"
#include "logs/CandumpFormat.h"
#include "j1939/J1939Codec.h"

namespace gatewaysim {

namespace {

constexpr int kDefaultWaitMs = 10'000;
constexpr int kEndMs = 2'000;  // an application started gets this long to end on SIGTERM

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Hex(const std::string& text, std::uint64_t max, std::uint64_t* value) {
    if (text.empty() || text.size() > 16 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = std::strtoull(text.c_str(), nullptr, 16);
    return *value <= max;
}

bool Decimal(const std::string& text, std::int64_t max, std::int64_t* value) {
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = std::strtoll(text.c_str(), nullptr, 10);
    return *value <= max;
}

// The J1939 message a frame carries or announces: a single frame, or the
// first frame (BAM or RTS) of a transport session with the PGN it announces.
bool J1939Of(const CanFrame& frame, J1939Header* header) {
    if (!frame.extended || frame.remote) return false;
    *header = DecomposeId(frame.id);
    const std::uint32_t pf = (header->pgn >> 8) & 0xFF;
    if (pf == 0xEB) return false;  // transport data
    if (pf == 0xEC && frame.length == 8 && (frame.data[0] == 0x20 || frame.data[0] == 0x10)) {
        header->pgn = frame.data[5] | (frame.data[6] << 8) | ((frame.data[7] & 0x03) << 16);
    }
    return true;
}

std::string Describe(const CanFrame& frame) {
    return "can" + std::to_string(frame.bus) + " " + FormatCanFrame(frame);
}

}  // namespace

struct Scenario::Statement {
    enum class Kind { kCommand, kStart, kWait, kWaitConnected, kCan, kNoCan, kJ1939, kNoJ1939, kPeriod, kConnected,
                      kGone };
    Kind kind = Kind::kCommand;
    int line = 0;
    std::string text;
    std::vector<std::string> argv;  // start
    std::int64_t ms = kDefaultWaitMs;
    std::int32_t address = 0;       // wait connected, connected, gone; a frame's sender when `from` is set
    // A CAN frame: bus, identifier (bits under `idMask` must equal `id`), data
    // bytes (-1: any), `anyTail` for more bytes of any value.
    std::uint8_t bus = 0;
    bool extended = false;
    std::uint32_t id = 0;
    std::uint32_t idMask = 0;
    bool anyData = true;
    bool anyTail = false;
    std::vector<int> data;
    std::int64_t times = -1;        // -1: at least once
    bool fromApplication = false;
    // A J1939 message.
    std::uint32_t pgn = 0;
    int source = -1;
    int destination = -1;
    // A period.
    std::int64_t periodMs = 0;
    std::int64_t tolerancePercent = 0;

    bool Matches(const Seen& seen) const {
        const CanFrame& f = seen.frame;
        if (f.bus != bus) return false;
        const bool byApplication =
            seen.origin.kind == Origin::Kind::kApplication || seen.origin.kind == Origin::Kind::kJ1939;
        if (fromApplication && (!byApplication || seen.origin.address != address)) return false;
        if (kind == Kind::kJ1939 || kind == Kind::kNoJ1939) {
            J1939Header header;
            if (!J1939Of(f, &header) || header.pgn != pgn) return false;
            return (source < 0 || header.source == source) && (destination < 0 || header.destination == destination);
        }
        if (f.extended != extended || (f.id & idMask) != id) return false;
        if (anyData) return true;
        if (anyTail ? f.length < data.size() : f.length != data.size()) return false;
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (data[i] >= 0 && f.data[i] != data[i]) return false;
        }
        return true;
    }
};

Scenario::~Scenario() {
    for (const pid_t pid : started_) ::kill(pid, SIGTERM);
    const std::int64_t until = NowUs() + std::int64_t{kEndMs} * 1000;
    for (const pid_t pid : started_) {
        while (::waitpid(pid, nullptr, WNOHANG) == 0) {
            if (NowUs() >= until) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

void Scenario::Observe(const CanFrame& frame, const Origin& origin) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        frames_.push_back(Seen{next_++, NowUs(), frame, origin});
        if (frames_.size() > kMaxFrames) frames_.pop_front();
    }
    arrived_.notify_all();
}

bool Scenario::Parse(const std::string& line, int number, Statement* s, std::string* error) const {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    s->line = number;
    s->text = line;
    const auto fail = [&](const std::string& usage) {
        *error = "line " + std::to_string(number) + ": " + usage;
        return false;
    };
    std::int64_t value = 0;
    std::uint64_t hex = 0;
    if (words[0] == "start") {
        if (words.size() < 2) return fail("usage: start PROGRAM [ARGUMENTS]");
        s->kind = Statement::Kind::kStart;
        s->argv.assign(words.begin() + 1, words.end());
        return true;
    }
    if (words[0] == "wait") {
        if (words.size() == 2 && Decimal(words[1], 3'600'000, &s->ms)) {
            s->kind = Statement::Kind::kWait;
            return true;
        }
        if ((words.size() == 3 || words.size() == 4) && words[1] == "connected" &&
            Decimal(words[2], 0x7FFFFFFF, &value) && (words.size() == 3 || Decimal(words[3], 3'600'000, &s->ms))) {
            s->kind = Statement::Kind::kWaitConnected;
            s->address = static_cast<std::int32_t>(value);
            return true;
        }
        return fail("usage: wait MS | wait connected ADDRESS [MS]");
    }
    if (words[0] != "expect") {
        Command command;
        std::string reason;
        if (!ParseCommand(line, &command, &reason)) return fail(reason);
        s->kind = Statement::Kind::kCommand;
        return true;
    }
    // expect [no] can|j1939 ... | expect period ... | expect connected|gone ADDRESS [within MS]
    std::size_t at = 1;
    const auto next = [&]() -> std::string { return at < words.size() ? words[at++] : std::string(); };
    std::string what = next();
    const bool no = what == "no";
    if (no) what = next();
    if (!no && (what == "connected" || what == "gone")) {
        s->kind = what == "connected" ? Statement::Kind::kConnected : Statement::Kind::kGone;
        if (!Decimal(next(), 0x7FFFFFFF, &value)) return fail("usage: expect connected|gone ADDRESS [within MS]");
        s->address = static_cast<std::int32_t>(value);
    } else if (what == "can" || what == "j1939" || (!no && what == "period")) {
        std::string reason;
        if (!ParseInterfaceName(next(), &s->bus, &reason)) return fail("a bus is can0 to can4");
        if (what == "j1939") {
            s->kind = no ? Statement::Kind::kNoJ1939 : Statement::Kind::kJ1939;
            if (!Hex(next(), 0x3FFFF, &hex)) return fail("usage: expect [no] j1939 canN PGN [from SA] [to DA] ...");
            s->pgn = static_cast<std::uint32_t>(hex);
            while (at < words.size() && (words[at] == "from" || words[at] == "to")) {
                const bool from = words[at++] == "from";
                if (!Hex(next(), 255, &hex)) return fail("a J1939 address is 00 to FF in hex");
                (from ? s->source : s->destination) = static_cast<int>(hex);
            }
        } else {
            // ID[#DATA]: 3 hex digits standard, 8 extended; 'x' any digit;
            // ".." any byte; a final "*" any further bytes.
            s->kind = what == "period" ? Statement::Kind::kPeriod
                      : no               ? Statement::Kind::kNoCan
                                         : Statement::Kind::kCan;
            const std::string frame = next();
            const std::size_t hash = frame.find('#');
            const std::string idText = frame.substr(0, hash);
            if (idText.size() != 3 && idText.size() != 8) return fail("an identifier has 3 or 8 hex digits");
            s->extended = idText.size() == 8;
            for (const char c : idText) {
                s->id <<= 4;
                s->idMask <<= 4;
                if (c == 'x' || c == 'X') continue;
                if (!Hex(std::string(1, c), 15, &hex)) return fail("an identifier has 3 or 8 hex digits ('x': any)");
                s->id |= static_cast<std::uint32_t>(hex);
                s->idMask |= 0xF;
            }
            if (hash != std::string::npos) {
                std::string bytes = frame.substr(hash + 1);
                s->anyData = false;
                if (!bytes.empty() && bytes.back() == '*') {
                    s->anyTail = true;
                    bytes.pop_back();
                }
                if (bytes.size() % 2 != 0 || bytes.size() > 16) return fail("data is up to 8 bytes in hex ('..': any)");
                for (std::size_t i = 0; i < bytes.size(); i += 2) {
                    const std::string byte = bytes.substr(i, 2);
                    if (byte == "..") {
                        s->data.push_back(-1);
                    } else if (Hex(byte, 255, &hex)) {
                        s->data.push_back(static_cast<int>(hex));
                    } else {
                        return fail("data is up to 8 bytes in hex ('..': any)");
                    }
                }
            }
            if (what == "period") {
                if (!Decimal(next(), 3'600'000, &s->periodMs) || s->periodMs == 0 || next() != "tolerance")
                    return fail("usage: expect period canN ID MS tolerance PERCENT over MS");
                std::string percent = next();
                if (!percent.empty() && percent.back() == '%') percent.pop_back();
                if (!Decimal(percent, 100, &s->tolerancePercent) || next() != "over" ||
                    !Decimal(next(), 3'600'000, &s->ms))
                    return fail("usage: expect period canN ID MS tolerance PERCENT over MS");
                return at == words.size() || fail("unexpected '" + words[at] + "'");
            }
        }
        if (at < words.size() && words[at] == "from") {
            ++at;
            if (!Decimal(next(), 0x7FFFFFFF, &value)) return fail("from takes an application's address");
            s->fromApplication = true;
            s->address = static_cast<std::int32_t>(value);
        }
        if (!no && at < words.size() && words[at] == "times") {
            ++at;
            if (!Decimal(next(), 1'000'000, &s->times)) return fail("times takes a count");
        }
    } else {
        return fail("usage: expect [no] can|j1939 ..., expect period ..., expect connected|gone ADDRESS");
    }
    const std::string window = next();
    if (window.empty() && (s->kind == Statement::Kind::kConnected || s->kind == Statement::Kind::kGone)) return true;
    const bool needsFor = no;
    if (window != (needsFor ? "for" : "within") || !Decimal(next(), 3'600'000, &s->ms))
        return fail(needsFor ? "an expectation that nothing comes ends with: for MS"
                             : "an expectation ends with: within MS");
    return at == words.size() || fail("unexpected '" + words[at] + "'");
}

bool Scenario::Start(const std::vector<std::string>& argv, const std::string& folder, const std::string& endpoint) {
    std::string program = argv[0];
    if (program.find('/') != std::string::npos && program[0] != '/') program = folder + "/" + program;
    std::vector<char*> args;
    std::vector<std::string> copies(argv);
    copies[0] = program;
    for (std::string& arg : copies) args.push_back(arg.data());
    args.push_back(nullptr);
    // The environment is made before the fork: the child of a threaded
    // process calls nothing that may allocate.
    std::string variable = std::string(PlatformServices::kEndpointEnvVar) + "=" + endpoint;
    std::vector<char*> environment;
    const std::string prefix = std::string(PlatformServices::kEndpointEnvVar) + "=";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string(*entry).rfind(prefix, 0) != 0) environment.push_back(*entry);
    }
    environment.push_back(variable.data());
    environment.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);  // the verdict lines alone on standard output
        ::execvpe(args[0], args.data(), environment.data());
        _exit(127);
    }
    started_.push_back(pid);
    return true;
}

void Scenario::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    arrived_.notify_all();
}

bool Scenario::Stopping() {
    std::lock_guard<std::mutex> guard(lock_);
    return stopping_;
}

bool Scenario::Pause(std::int64_t untilUs) {
    std::unique_lock<std::mutex> guard(lock_);
    const std::int64_t left = untilUs - NowUs();
    if (left > 0) arrived_.wait_for(guard, std::chrono::microseconds(left), [&] { return stopping_; });
    return !stopping_;
}

bool Scenario::AwaitFrames(std::uint64_t from, std::int64_t untilUs,
                           const std::function<bool(const std::vector<Seen>&)>& done) {
    std::vector<Seen> fresh;
    std::uint64_t taken = from;
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        if (stopping_) return false;
        // Numbers are consecutive: the frames not handed over yet are the
        // tail of the queue.
        fresh.clear();
        const std::uint64_t oldest = frames_.empty() ? next_ : frames_.front().number;
        for (std::size_t i = taken > oldest ? static_cast<std::size_t>(taken - oldest) : 0; i < frames_.size(); ++i)
            fresh.push_back(frames_[i]);
        taken = next_;
        if (done(fresh)) return true;
        const std::int64_t left = untilUs - NowUs();
        if (left <= 0) return false;
        arrived_.wait_for(guard, std::chrono::microseconds(left), [&] { return next_ != taken || stopping_; });
    }
}

bool Scenario::Connected(const Execute& execute, std::int32_t address) const {
    const CommandReply reply = execute("list");
    return reply.text.find("application " + std::to_string(address) + ": connected") != std::string::npos;
}

void Scenario::Verdict(bool passed, int line, const std::string& text, const std::string& saw) {
    (passed ? passed_ : failed_) += 1;
    out_ << (passed ? "PASS" : "FAIL") << " line " << line << ": " << text << ": " << saw << std::endl;
}

bool Scenario::Perform(const Statement& s, const std::string& folder, const std::string& endpoint,
                       const Execute& execute) {
    const std::int64_t startUs = NowUs();
    const std::int64_t untilUs = startUs + s.ms * 1000;
    std::uint64_t lineStart;
    {
        std::lock_guard<std::mutex> guard(lock_);
        lineStart = next_;
    }
    // Frames that came before the line started show as at 0 ms.
    const auto sinceMs = [startUs](std::int64_t us) {
        return std::to_string(std::max<std::int64_t>(0, us - startUs) / 1000) + " ms";
    };
    switch (s.kind) {
        case Statement::Kind::kCommand: {
            const CommandReply reply = execute(s.text);
            if (reply.ok) return true;
            Verdict(false, s.line, s.text, "the command failed: " + reply.text);
            return true;
        }
        case Statement::Kind::kStart:
            if (Start(s.argv, folder, endpoint)) return true;
            Verdict(false, s.line, s.text, "could not be started");
            return true;
        case Statement::Kind::kWait:
            return Pause(untilUs);
        case Statement::Kind::kWaitConnected:
        case Statement::Kind::kConnected:
        case Statement::Kind::kGone: {
            const bool want = s.kind != Statement::Kind::kGone;
            bool is = Connected(execute, s.address);
            while (is != want && NowUs() < untilUs) {
                if (!Pause(std::min(untilUs, NowUs() + 20'000))) return false;
                is = Connected(execute, s.address);
            }
            if (s.kind == Statement::Kind::kWaitConnected && is) return true;
            Verdict(is == want, s.line, s.text,
                    std::string(is ? "connected" : "not connected") + " after " + sinceMs(NowUs()));
            return true;
        }
        case Statement::Kind::kCan:
        case Statement::Kind::kJ1939: {
            std::size_t count = 0;
            std::string first;
            const bool once = s.times < 0;
            const auto counted = [&](const std::vector<Seen>& seen) {
                for (const Seen& frame : seen) {
                    if (!s.Matches(frame)) continue;
                    if (count++ == 0) first = Describe(frame.frame) + " at " + sinceMs(frame.us);
                }
                return once && count > 0;
            };
            AwaitFrames(mark_, untilUs, counted);
            if (Stopping()) return false;
            const bool passed = once ? count > 0 : count == static_cast<std::size_t>(s.times);
            Verdict(passed, s.line, s.text,
                    count == 0 ? "none seen" : std::to_string(count) + " seen, the first " + first);
            return true;
        }
        case Statement::Kind::kNoCan:
        case Statement::Kind::kNoJ1939: {
            std::string first;
            AwaitFrames(lineStart, untilUs, [&](const std::vector<Seen>& seen) {
                for (const Seen& frame : seen) {
                    if (s.Matches(frame)) {
                        first = Describe(frame.frame) + " at " + sinceMs(frame.us);
                        return true;
                    }
                }
                return false;
            });
            if (Stopping()) return false;
            Verdict(first.empty(), s.line, s.text, first.empty() ? "none seen" : "seen " + first);
            return true;
        }
        case Statement::Kind::kPeriod: {
            std::vector<std::int64_t> times;
            AwaitFrames(lineStart, untilUs, [&](const std::vector<Seen>& seen) {
                for (const Seen& frame : seen) {
                    if (s.Matches(frame)) times.push_back(frame.us);
                }
                return false;
            });
            if (Stopping()) return false;
            if (times.size() < 2) {
                Verdict(false, s.line, s.text, std::to_string(times.size()) + " frames seen");
                return true;
            }
            const double mean = double(times.back() - times.front()) / double(times.size() - 1) / 1000.0;
            const bool passed = std::abs(mean - double(s.periodMs)) <= double(s.periodMs * s.tolerancePercent) / 100.0;
            char saw[128];
            std::snprintf(saw, sizeof(saw), "%zu frames, mean period %.1f ms", times.size(), mean);
            Verdict(passed, s.line, s.text, saw);
            return true;
        }
    }
    return true;
}

int Scenario::Run(const std::string& path, const std::string& endpoint, Execute execute) {
    std::ifstream file(path);
    if (!file) {
        out_ << path << ": cannot be read" << std::endl;
        return 2;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    std::vector<Statement> statements;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        Statement statement;
        std::string error;
        if (!Parse(line.substr(first), number, &statement, &error)) {
            out_ << path << ": " << error << std::endl;
            return 2;
        }
        statements.push_back(std::move(statement));
    }
    for (const Statement& statement : statements) {
        if (Stopping() || !Perform(statement, folder, endpoint, execute)) {
            out_ << "stopped at line " << statement.line << ": " << passed_ << " passed, " << failed_ << " failed"
                 << std::endl;
            return 3;
        }
        if (statement.kind != Statement::Kind::kCommand && statement.kind != Statement::Kind::kStart &&
            statement.kind != Statement::Kind::kWait && statement.kind != Statement::Kind::kWaitConnected) {
            // The next "within" counts what comes after this expectation.
            std::lock_guard<std::mutex> guard(lock_);
            mark_ = next_;
        }
    }
    out_ << passed_ << " passed, " << failed_ << " failed" << std::endl;
    return failed_ == 0 ? 0 : 1;
}

}  // namespace gatewaysim
