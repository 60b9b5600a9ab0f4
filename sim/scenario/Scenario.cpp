#include "scenario/Scenario.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "IPCClient.h"
#include "logs/CandumpFormat.h"

namespace gatewaysim {

namespace {

constexpr int kEndMs = 2'000;       // an application gets this long to end on SIGTERM
constexpr std::int64_t kBusyRetryUs = 2'000'000;  // an EEPROM under a file operation is asked this long past its window
constexpr int kNearlyShown = 3;     // frames of the identifier a FAIL line shows

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Describe(const CanFrame& frame) { return "can" + std::to_string(frame.bus) + " " + FormatCanFrame(frame); }

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%02X", value & 0xFFu);
    return text;
}

std::string Describe(const J1939Message& message) {
    char head[64];
    std::snprintf(head, sizeof(head), "PGN %X from %02X to %02X", message.pgn, message.source, message.destination);
    std::string text = head;
    text += " data ";
    const std::size_t shown = std::min<std::size_t>(message.data.size(), 16);
    for (std::size_t i = 0; i < shown; ++i) text += Hex2(message.data[i]);
    if (shown < message.data.size()) text += "... (" + std::to_string(message.data.size()) + " bytes)";
    return text;
}

std::string ExitStatus(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

bool SameProgram(const std::string& started, const std::string& name) {
    if (started == name) return true;
    const std::size_t slash = started.rfind('/');
    return name.find('/') == std::string::npos && slash != std::string::npos && started.substr(slash + 1) == name;
}

// Keeps the last frames that nearly matched, for the FAIL line.
class Nearly {
public:
    void Add(std::string text) {
        seen_.push_back(std::move(text));
        if (seen_.size() > kNearlyShown) seen_.erase(seen_.begin());
    }
    std::string Text(const std::string& none) const {
        if (seen_.empty()) return none;
        std::string text = "nearest: ";
        for (std::size_t i = 0; i < seen_.size(); ++i) text += (i ? ", " : "") + seen_[i];
        return text;
    }

private:
    std::vector<std::string> seen_;
};

}  // namespace

Scenario::~Scenario() {
    EndApplications();
    readersEnding_ = true;
    for (std::thread& reader : readers_) reader.join();
}

void Scenario::EndApplications() {
    // All are asked at once; each then gets its 2 s from then.
    for (Child& child : children_) {
        if (!child.exited) ::kill(child.pid, SIGTERM);
    }
    for (Child& child : children_) End(&child);
}

void Scenario::ReadOutput(int fd, std::size_t child) {
    std::string partial;
    char buffer[4096];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 100);
        if (polled < 0 && errno != EINTR) break;
        if (polled <= 0) {
            // A program it started may keep the pipe open: not waited for.
            if (readersEnding_) break;
            continue;
        }
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) break;
        ssize_t written = ::write(STDERR_FILENO, buffer, static_cast<std::size_t>(got));
        (void)written;
        partial.append(buffer, static_cast<std::size_t>(got));
        std::vector<std::string> lines;
        for (std::size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1))
            lines.push_back(partial.substr(0, end));
        if (partial.size() > 4096) lines.push_back(std::move(partial)), partial.clear();
        if (lines.empty()) continue;
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (std::string& line : lines) {
                printed_.push_back(Printed{child, NowUs(), std::move(line)});
                if (printed_.size() > kMaxFrames) printed_.pop_front();
            }
        }
        arrived_.notify_all();
    }
    ::close(fd);
}

void Scenario::Observe(const CanFrame& frame, const Origin& origin) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        J1939Message message;
        std::shared_ptr<const J1939Message> completed;
        if (assembler_.Feed(frame, &message)) completed = std::make_shared<const J1939Message>(std::move(message));
        frames_.push_back(Seen{next_++, NowUs(), frame, origin, std::move(completed)});
        if (frames_.size() > kMaxFrames) frames_.pop_front();
    }
    arrived_.notify_all();
}

int Scenario::Load(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        out_ << path << ": cannot be read" << std::endl;
        return 2;
    }
    path_ = path;
    const std::size_t slash = path.rfind('/');
    folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::vector<ParseError> errors;
    script_ = ParseScenario(file, &errors);
    if (file.bad()) {
        out_ << path << ": cannot be read" << std::endl;
        return 2;
    }
    ResolveSignals(&script_, databases_.get(), &errors);
    for (const ParseError& error : errors) out_ << path << ": line " << error.line << ": " << error.reason << std::endl;
    return errors.empty() ? 0 : 2;
}

std::vector<std::string> Scenario::Cases() const {
    std::vector<std::string> names;
    for (const Block& block : script_.cases) names.push_back(block.name);
    return names;
}

bool Scenario::SelectCase(const std::string& name) {
    for (const Block& block : script_.cases) {
        if (block.name == name) {
            selected_ = name;
            return true;
        }
    }
    return false;
}

bool Scenario::Start(const Statement& s, const std::string& endpoint, std::string* reason) {
    // PROGRAM, and arguments, with a '/' that are relative: from the
    // scenario's folder.
    std::vector<std::string> copies(s.argv);
    for (std::size_t i = 0; i < copies.size(); ++i) {
        std::string& arg = copies[i];
        const bool relative = i == 0 ? arg.find('/') != std::string::npos && arg[0] != '/'
                                     : arg.rfind("./", 0) == 0 || arg.rfind("../", 0) == 0;
        if (relative) arg = folder_ + "/" + arg;
    }
    std::vector<char*> args;
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
    // The child tells why exec failed through a pipe that exec closes; what
    // it prints comes through another.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        *reason = std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        *reason = std::strerror(errno);
        for (const int fd : {report[0], report[1], output[0], output[1]}) ::close(fd);
        return false;
    }
    if (pid == 0) {
        // The simulator blocks and ignores signals for itself: the
        // application gets the defaults, so that its own handlers run.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction initial {};
        initial.sa_handler = SIG_DFL;
        sigemptyset(&initial.sa_mask);
        for (int signal = 1; signal < NSIG; ++signal) {
            if (signal != SIGKILL && signal != SIGSTOP) sigaction(signal, &initial, nullptr);
        }
        // The verdict lines alone on standard output: the application's
        // output is read by the scenario and goes on to standard error.
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        ::execvpe(args[0], args.data(), environment.data());
        const int error = errno;
        ssize_t written = ::write(report[1], &error, sizeof(error));
        (void)written;
        _exit(127);
    }
    ::close(report[1]);
    ::close(output[1]);
    int error = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &error, sizeof(error));
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    Child child;
    child.name = s.argv[0];
    child.line = s.line;
    child.text = s.text;
    child.pid = pid;
    child.startUs = NowUs();
    if (got == static_cast<ssize_t>(sizeof(error))) {
        ::waitpid(pid, nullptr, 0);
        ::close(output[0]);
        *reason = std::string("cannot be started: ") + std::strerror(error);
        return false;
    }
    child.id = children_.size();
    children_.push_back(child);
    readers_.emplace_back([this, fd = output[0], id = child.id] { ReadOutput(fd, id); });
    return true;
}

void Scenario::Reap() {
    for (Child& child : children_) {
        if (child.exited) continue;
        int status = 0;
        if (::waitpid(child.pid, &status, WNOHANG) == child.pid) {
            child.exited = true;
            child.status = status;
            child.exitUs = NowUs();
        }
    }
}

Scenario::Child* Scenario::Find(const std::string& name) {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        if (SameProgram(it->name, name)) return &*it;
    }
    return nullptr;
}

void Scenario::End(Child* child) {
    if (child->exited) return;
    ::kill(child->pid, SIGTERM);
    const std::int64_t until = NowUs() + std::int64_t{kEndMs} * 1000;
    int status = 0;
    while (::waitpid(child->pid, &status, WNOHANG) == 0) {
        if (NowUs() >= until) {
            ::kill(child->pid, SIGKILL);
            ::waitpid(child->pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    child->exited = true;
    child->status = status;
    child->exitUs = NowUs();
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
        for (std::size_t i = taken > oldest ? static_cast<std::size_t>(taken - oldest) : 0; i < frames_.size(); ++i) {
            if (frames_[i].us <= untilUs) fresh.push_back(frames_[i]);
        }
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

void Scenario::Report(bool passed, int line, const std::string& text, const std::string& saw) {
    (passed ? passed_ : failed_) += 1;
    const std::string printed =
        std::string(passed ? "PASS" : "FAIL") + " line " + std::to_string(line) + ": " + text + ": " + saw;
    out_ << printed << std::endl;
    std::string caseName;
    if (current_ < results_.size()) {
        CaseResult& result = results_[current_];
        (passed ? result.passed : result.failed) += 1;
        if (!passed) result.failures.push_back(printed);
        if (current_ != 0) caseName = result.name;
    }
    if (hook_) hook_(Verdict{line, text, passed, saw, caseName});
}

bool Scenario::Subscribed(const Execute& execute, const Statement& s) const {
    // The application's block of "list": its CAN subscriptions, one a line.
    const std::string text = execute("list").text;
    const std::string head = "application " + std::to_string(s.address) + ": connected";
    std::size_t at = text.find(head);
    if (at == std::string::npos) return false;
    at = text.find('\n', at);
    while (at != std::string::npos && text.compare(at + 1, 2, "  ") == 0) {
        const std::size_t end = text.find('\n', at + 1);
        const std::string line = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        unsigned bus = 0;
        unsigned id = 0;
        unsigned mask = 0;
        if (std::sscanf(line.c_str(), "  CAN subscription can%u id %X mask %X", &bus, &id, &mask) == 3 &&
            bus == s.bus && (s.id & mask) == (id & mask))
            return true;
        at = end;
    }
    return false;
}

void Scenario::ReportUnexpectedExits() {
    Reap();
    for (Child& child : children_) {
        if (!child.exited || child.accounted) continue;
        child.accounted = true;
        Report(false, child.line, child.text,
               ExitStatus(child.status) + " after " + std::to_string((child.exitUs - child.startUs) / 1000) +
                   " ms, before the scenario ended");
    }
}

bool Scenario::Perform(const Statement& s, const std::string& endpoint, const Execute& execute) {
    // `within` (and `times`) windows open where the last wait or expectation
    // ended, so that what the commands, starts and cycles just before caused
    // counts; `for` and `over` windows open at their own line, once those
    // (a silence, a cyclic frame) are in force.
    const bool ownLine = s.kind == Statement::Kind::kNoCan || s.kind == Statement::Kind::kNoJ1939 ||
                         s.kind == Statement::Kind::kPeriod;
    std::uint64_t windowFrom = windowFrom_;
    std::int64_t startUs = windowUs_;
    if (ownLine) {
        std::lock_guard<std::mutex> guard(lock_);
        windowFrom = next_;
        startUs = NowUs();
    }
    const std::int64_t untilUs = startUs + s.ms * 1000;
    // Times are given from the start of the expectation's window.
    const auto at = [startUs](std::int64_t us) { return " at " + std::to_string((us - startUs) / 1000) + " ms"; };
    switch (s.kind) {
        case Statement::Kind::kCommand: {
            const CommandReply reply = execute(s.text);
            if (!reply.ok) Report(false, s.line, s.text, "the command failed: " + reply.text);
            return true;
        }
        case Statement::Kind::kStart: {
            std::string reason;
            if (!Start(s, endpoint, &reason)) Report(false, s.line, s.text, reason);
            return true;
        }
        case Statement::Kind::kStop: {
            Reap();
            Child* child = Find(s.argv[0]);
            if (child == nullptr) {
                Report(false, s.line, s.text, "no such program was started");
                return true;
            }
            if (child->exited) {
                child->accounted = true;
                Report(false, s.line, s.text, "it had " + ExitStatus(child->status));
                return true;
            }
            End(child);
            child->accounted = true;
            return true;
        }
        case Statement::Kind::kWait:
            return Pause(NowUs() + s.ms * 1000);
        case Statement::Kind::kWaitSubscribed: {
            const std::int64_t until = NowUs() + s.ms * 1000;
            bool is = Subscribed(execute, s);
            while (!is && NowUs() < until) {
                if (!Pause(std::min(until, NowUs() + 20'000))) return false;
                is = Subscribed(execute, s);
            }
            if (!is) Report(false, s.line, s.text, "not subscribed after " + std::to_string(s.ms) + " ms");
            return true;
        }
        case Statement::Kind::kEvery: {
            if (!stimulus_) stimulus_ = std::make_unique<Stimulus>([execute](const std::string& command) {
                execute(command);
            });
            const auto now = Stimulus::Clock::now();
            stimulus_->Every(s.command, std::chrono::milliseconds(s.everyMs),
                             s.ms > 0 ? now + std::chrono::milliseconds(s.ms) : Stimulus::Clock::time_point::max());
            return true;
        }
        case Statement::Kind::kStopEvery:
            // Without a frame it ends whatever runs, which may be nothing.
            if ((!stimulus_ || !stimulus_->Stop(s.command)) && !s.command.empty())
                Report(false, s.line, s.text, "no such frame is sent every period");
            return true;
        case Statement::Kind::kCase:
            return true;  // run by RunAll
        case Statement::Kind::kWaitConnected:
        case Statement::Kind::kConnected:
        case Statement::Kind::kGone: {
            const bool want = s.kind != Statement::Kind::kGone;
            const std::int64_t until = s.kind == Statement::Kind::kWaitConnected ? NowUs() + s.ms * 1000 : untilUs;
            bool is = Connected(execute, s.address);
            while (is != want && NowUs() < until) {
                if (!Pause(std::min(until, NowUs() + 20'000))) return false;
                is = Connected(execute, s.address);
            }
            if (s.kind == Statement::Kind::kWaitConnected && is) return true;
            Report(is == want, s.line, s.text, std::string(is ? "connected" : "not connected") + at(NowUs()));
            return true;
        }
        case Statement::Kind::kOutput: {
            Child* child = Find(s.argv[0]);
            if (child == nullptr) {
                Report(false, s.line, s.text, "no such program was started");
                return true;
            }
            const std::size_t id = child->id;
            std::string seen;
            std::string last;
            {
                std::unique_lock<std::mutex> guard(lock_);
                const auto found = [&] {
                    for (const Printed& line : printed_) {
                        if (line.child != id || line.us < startUs) continue;
                        if (line.text.find(s.command) != std::string::npos) {
                            seen = "\"" + line.text + "\"" + at(line.us);
                            return true;
                        }
                        last = line.text;
                    }
                    return stopping_;
                };
                const std::int64_t left = untilUs - NowUs();
                if (!found() && left > 0)
                    arrived_.wait_for(guard, std::chrono::microseconds(left), found);
                if (stopping_) return false;
            }
            Report(!seen.empty(), s.line, s.text,
                   !seen.empty() ? seen : last.empty() ? "nothing printed" : "not printed; the last line \"" + last + "\"");
            return true;
        }
        case Statement::Kind::kEeprom: {
            const std::string path = dataFolder_ + "/eeprom-" + std::to_string(s.address) + ".bin";
            const std::size_t length = s.data.value.size();
            std::string saw;
            for (;;) {
                std::vector<std::uint8_t> bytes(length);
                if (!s.saved) {
                    // What the platform holds: asked again while its file is
                    // being read or written, even past an "at once" window.
                    const int result = eepromReader_
                                           ? eepromReader_(s.address, static_cast<std::size_t>(s.offset), length, &bytes)
                                           : -ENOTSUP;
                    if (result == 0) {
                        saw.clear();
                        for (const std::uint8_t byte : bytes) saw += Hex2(byte);
                        if (s.data.Matches(bytes.data(), length)) {
                            Report(true, s.line, s.text, saw + at(NowUs()));
                            return true;
                        }
                    } else if (result == -EFAULT) {
                        saw = "the EEPROM ends before";
                    } else if (result != -EBUSY || saw.empty()) {
                        saw = result == -EBUSY ? "its file is being read or written" : std::strerror(-result);
                    }
                    const bool busy = result == -EBUSY && NowUs() < untilUs + kBusyRetryUs;
                    if (NowUs() >= untilUs && !busy) break;
                    const std::int64_t next = NowUs() + 20'000;
                    if (!Pause(NowUs() < untilUs ? std::min(untilUs, next) : next)) return false;
                    continue;
                }
                std::ifstream file(path, std::ios::binary);
                file.seekg(s.offset);
                file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
                const std::size_t got = file ? length : static_cast<std::size_t>(std::max<std::streamsize>(0, file.gcount()));
                if (!std::ifstream(path)) {
                    saw = "no saved EEPROM " + path;
                } else if (got < length) {
                    saw = "the saved EEPROM ends before";
                } else {
                    saw.clear();
                    for (const std::uint8_t byte : bytes) saw += Hex2(byte);
                    if (s.data.Matches(bytes.data(), length)) {
                        Report(true, s.line, s.text, saw + at(NowUs()));
                        return true;
                    }
                }
                if (NowUs() >= untilUs) break;
                if (!Pause(std::min(untilUs, NowUs() + 20'000))) return false;
            }
            Report(false, s.line, s.text, saw);
            return true;
        }
        case Statement::Kind::kExit:
        case Statement::Kind::kRunning: {
            Reap();
            Child* child = Find(s.argv[0]);
            if (child == nullptr) {
                Report(false, s.line, s.text, "no such program was started");
                return true;
            }
            if (s.kind == Statement::Kind::kRunning) {
                if (child->exited) child->accounted = true;
                Report(!child->exited, s.line, s.text, child->exited ? "it has " + ExitStatus(child->status) : "running");
                return true;
            }
            while (!child->exited && NowUs() < untilUs) {
                if (!Pause(std::min(untilUs, NowUs() + 10'000))) return false;
                Reap();
            }
            if (!child->exited) {
                Report(false, s.line, s.text, "still running");
                return true;
            }
            child->accounted = true;
            const bool passed =
                s.exitCode < 0 || (WIFEXITED(child->status) && WEXITSTATUS(child->status) == s.exitCode);
            Report(passed, s.line, s.text, ExitStatus(child->status));
            return true;
        }
        case Statement::Kind::kSignal: {
            // The message's frames, or for a J1939 message of the database
            // (matched by PGN) the whole messages, long ones reassembled.
            const SignalCondition& c = s.signal;
            const signaldb::Message& message = *c.dbcMessage;
            std::string first;
            std::string last;
            bool carried = false;
            std::size_t frames = 0;
            AwaitFrames(windowFrom, untilUs, [&](const std::vector<Seen>& seen) {
                for (const Seen& frame : seen) {
                    if (s.busGiven && frame.frame.bus != s.bus) continue;
                    const std::uint8_t* data = nullptr;
                    std::size_t size = 0;
                    int source = -1;
                    if (message.j1939) {
                        const J1939Message* m = frame.message.get();
                        if (m == nullptr || m->pgn != message.Pgn()) continue;
                        data = m->data.data();
                        size = m->data.size();
                        source = m->source;
                    } else {
                        if (frame.frame.remote || frame.frame.extended != message.extended || frame.frame.id != message.id)
                            continue;
                        data = frame.frame.data;
                        size = frame.frame.length;
                        source = frame.frame.extended ? static_cast<int>(frame.frame.id & 0xFF) : -1;
                    }
                    if (s.j1939.source >= 0 && source != s.j1939.source) continue;
                    ++frames;
                    const std::optional<double> value = signaldb::DecodeSignal(message, *c.dbcSignal, data, size);
                    if (!value) continue;
                    carried = true;
                    std::string text = signaldb::FormatPhysical(*c.dbcSignal, *value);
                    if (!c.dbcSignal->unit.empty()) text += " " + c.dbcSignal->unit;
                    std::uint64_t raw = 0;
                    if (c.dbcSignal->Extract(data, size, &raw)) {
                        if (const std::string* named = c.dbcSignal->ValueName(raw)) text += " (" + *named + ")";
                    }
                    text += " on can" + std::to_string(frame.frame.bus);
                    if (source >= 0) text += " from " + Hex2(static_cast<unsigned>(source));
                    text += at(frame.us);
                    if (c.Holds(*value)) {
                        first = text;
                        return true;
                    }
                    last = text;
                }
                return false;
            });
            if (Stopping()) return false;
            std::string saw = first;
            if (first.empty()) {
                saw = frames == 0  ? "no frame of " + message.name + (s.j1939.source >= 0 ? " from that sender" : "")
                      : !carried   ? std::to_string(frames) + " frames of " + message.name + ", none carrying " + c.signal
                                   : "the last value " + last;
            }
            Report(!first.empty(), s.line, s.text, saw);
            return true;
        }
        case Statement::Kind::kDtc: {
            constexpr std::uint32_t kDm1 = 0xFECA;
            static const char* const lampNames[] = {"mil", "red", "amber", "protect"};
            std::string first;
            std::string last;
            AwaitFrames(windowFrom, untilUs, [&](const std::vector<Seen>& seen) {
                for (const Seen& frame : seen) {
                    if (s.busGiven && frame.frame.bus != s.bus) continue;
                    const J1939Message* m = frame.message.get();
                    if (m == nullptr || m->pgn != kDm1) continue;
                    if (s.j1939.source >= 0 && m->source != s.j1939.source) continue;
                    std::uint8_t lamps = 0;
                    std::vector<ActiveDtc> dtcs;
                    if (!ReadDiagnosticMessage(m->data, &lamps, &dtcs)) continue;  // too short to be one
                    std::string text = "DM1 on can" + std::to_string(frame.frame.bus) + " from " + Hex2(m->source) + ": ";
                    if (dtcs.empty()) text += "no active faults";
                    for (std::size_t i = 0; i < dtcs.size() && i < 4; ++i)
                        text += (i ? ", " : "") + std::string("SPN ") + std::to_string(dtcs[i].spn) + " FMI " +
                                std::to_string(dtcs[i].fmi);
                    if (dtcs.size() > 4) text += " and " + std::to_string(dtcs.size() - 4) + " more";
                    std::string lit;
                    for (int lamp = 0; lamp < 4; ++lamp)
                        if (LampOn(lamps, lamp)) lit += std::string(lit.empty() ? "" : ", ") + lampNames[lamp];
                    if (!lit.empty()) text += "; lamps " + lit;
                    text += at(frame.us);
                    const bool holds =
                        s.dtc.none ? dtcs.empty()
                                   : std::any_of(dtcs.begin(), dtcs.end(), [&](const ActiveDtc& dtc) {
                                         return dtc.spn == s.dtc.spn && dtc.fmi == s.dtc.fmi;
                                     }) && (s.dtc.lamp == DtcPattern::kNoLamp || LampOn(lamps, s.dtc.lamp));
                    if (holds) {
                        first = text;
                        return true;
                    }
                    last = text;
                }
                return false;
            });
            if (Stopping()) return false;
            Report(!first.empty(), s.line, s.text,
                   !first.empty() ? first : last.empty() ? "no DM1 seen" : "the last " + last);
            return true;
        }
        case Statement::Kind::kCan:
        case Statement::Kind::kJ1939: {
            std::size_t count = 0;
            std::string first;
            Nearly nearly;
            const bool j1939 = s.kind == Statement::Kind::kJ1939;
            const bool once = s.times < 0;
            const auto counted = [&](const std::vector<Seen>& seen) {
                for (const Seen& frame : seen) {
                    bool sameId = false;
                    bool matches = false;
                    if (frame.frame.bus != s.bus) continue;
                    const bool byApplication = frame.origin.kind == Origin::Kind::kApplication ||
                                               frame.origin.kind == Origin::Kind::kJ1939;
                    const bool sender = !s.fromApplication || (byApplication && frame.origin.address == s.address);
                    if (j1939) {
                        const J1939Message* m = frame.message.get();
                        sameId = m != nullptr && m->pgn == s.j1939.pgn;
                        matches = sameId && sender && s.j1939.Matches(*m);
                    } else {
                        sameId = s.frame.SameIdentifier(frame.frame);
                        matches = sender && s.frame.Matches(frame.frame);
                    }
                    if (!sameId) continue;
                    const std::string text = (j1939 ? Describe(*frame.message) : Describe(frame.frame)) + at(frame.us);
                    if (matches && count++ == 0) first = text;
                    if (!matches) nearly.Add(text);
                }
                return once && count > 0;
            };
            AwaitFrames(windowFrom, untilUs, counted);
            if (Stopping()) return false;
            const bool passed = once ? count > 0 : count == static_cast<std::size_t>(s.times);
            std::string saw = count == 0 ? "none seen" : std::to_string(count) + " seen, the first " + first;
            if (!passed && count == 0)
                saw += "; " + nearly.Text(j1939 ? "no message of that PGN" : "no frame of that identifier");
            Report(passed, s.line, s.text, saw);
            return true;
        }
        case Statement::Kind::kNoCan:
        case Statement::Kind::kNoJ1939: {
            std::string first;
            const bool j1939 = s.kind == Statement::Kind::kNoJ1939;
            AwaitFrames(windowFrom, untilUs, [&](const std::vector<Seen>& seen) {
                for (const Seen& frame : seen) {
                    if (frame.frame.bus != s.bus) continue;
                    const bool byApplication = frame.origin.kind == Origin::Kind::kApplication ||
                                               frame.origin.kind == Origin::Kind::kJ1939;
                    if (s.fromApplication && (!byApplication || frame.origin.address != s.address)) continue;
                    if (j1939) {
                        const J1939Message* m = frame.message.get();
                        if (m == nullptr || !s.j1939.Matches(*m)) continue;
                        first = Describe(*m) + at(frame.us);
                        return true;
                    }
                    if (s.frame.Matches(frame.frame)) {
                        first = Describe(frame.frame) + at(frame.us);
                        return true;
                    }
                }
                return false;
            });
            if (Stopping()) return false;
            Report(first.empty(), s.line, s.text, first.empty() ? "none seen" : "seen " + first);
            return true;
        }
        case Statement::Kind::kPeriod: {
            std::vector<std::int64_t> times;
            AwaitFrames(windowFrom, untilUs, [&](const std::vector<Seen>& seen) {
                for (const Seen& frame : seen) {
                    if (frame.frame.bus == s.bus && s.frame.Matches(frame.frame)) times.push_back(frame.us);
                }
                return false;
            });
            if (Stopping()) return false;
            // The window must be covered: enough frames, none missing at its
            // start, end or between, and the mean on the period.
            const double period = double(s.periodMs);
            const double tolerance = double(s.tolerancePercent) / 100.0;
            const double window = double(s.ms);
            const auto fewest = static_cast<std::size_t>(std::floor(window / (period * (1.0 + tolerance))));
            const std::size_t most =
                tolerance >= 1.0 ? SIZE_MAX : static_cast<std::size_t>(std::floor(window / (period * (1.0 - tolerance)))) + 1;
            if (times.size() < 2) {
                Report(false, s.line, s.text,
                       std::to_string(times.size()) + " frames seen (" + std::to_string(std::max<std::size_t>(fewest, 2)) +
                           " at least)");
                return true;
            }
            double worst = 0;
            std::int64_t worstEndUs = times.front();
            std::int64_t previous = startUs;
            for (std::size_t i = 0; i <= times.size(); ++i) {
                const std::int64_t end = i < times.size() ? times[i] : untilUs;
                if (double(end - previous) / 1000.0 > worst) {
                    worst = double(end - previous) / 1000.0;
                    worstEndUs = end;
                }
                previous = end;
            }
            const double mean = double(times.back() - times.front()) / double(times.size() - 1) / 1000.0;
            const bool passed = std::abs(mean - period) <= period * tolerance &&
                                worst <= period * (1.0 + tolerance) && times.size() >= fewest &&
                                times.size() <= most;
            char saw[200];
            std::snprintf(saw, sizeof(saw), "%zu frames (%zu to %s expected), mean period %.1f ms, worst gap %.1f ms to %lld ms",
                          times.size(), fewest, most == SIZE_MAX ? "any" : std::to_string(most).c_str(), mean, worst,
                          static_cast<long long>((worstEndUs - startUs) / 1000));
            Report(passed, s.line, s.text, saw);
            return true;
        }
    }
    return true;
}

int Scenario::Run(const std::string& path, const std::string& endpoint, Execute execute) {
    const int loaded = Load(path);
    return loaded != 0 ? loaded : Run(endpoint, std::move(execute));
}


int Scenario::Run(const std::string& endpoint, Execute execute) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        windowFrom_ = next_;
        windowUs_ = NowUs();
    }
    const std::size_t slash = path_.rfind('/');
    results_.assign(1, CaseResult{});
    results_[0].name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    current_ = 0;
    const std::int64_t startUs = NowUs();
    int line = 0;
    const bool completed = RunAll(script_.statements, endpoint, execute, &line);
    if (completed) ReportUnexpectedExits();
    if (stimulus_) stimulus_->Stop("");
    results_[0].seconds = double(NowUs() - startUs) / 1e6;
    results_[0].stopped = !completed && current_ == 0;
    // Outside cases, a result only where there were verdicts.
    if (!script_.cases.empty() && results_[0].passed + results_[0].failed == 0 && !results_[0].stopped)
        results_.erase(results_.begin());
    if (!completed) {
        out_ << "stopped at line " << line << ": " << passed_ << " passed, " << failed_ << " failed" << std::endl;
        return 3;
    }
    out_ << passed_ << " passed, " << failed_ << " failed" << std::endl;
    return failed_ == 0 ? 0 : 1;
}

bool Scenario::RunAll(const std::vector<Statement>& statements, const std::string& endpoint,
                      const Execute& execute, int* line) {
    for (const Statement& statement : statements) {
        *line = statement.line;
        if (Stopping()) return false;
        if (statement.kind == Statement::Kind::kCase) {
            const Block& block = script_.cases[statement.block];
            if (!selected_.empty() && block.name != selected_) continue;
            if (!RunCase(block, endpoint, execute, line)) return false;
            continue;
        }
        if (!Perform(statement, endpoint, execute)) return false;
        const bool wait = statement.kind == Statement::Kind::kWait ||
                          statement.kind == Statement::Kind::kWaitConnected ||
                          statement.kind == Statement::Kind::kWaitSubscribed;
        if (wait || statement.IsExpectation()) {
            // The next window starts here: the commands, starts and cycles
            // that follow are its stimulus, what came before is not counted.
            std::lock_guard<std::mutex> guard(lock_);
            windowFrom_ = next_;
            windowUs_ = NowUs();
        }
    }
    return true;
}

bool Scenario::RunCase(const Block& block, const std::string& endpoint, const Execute& execute, int* line) {
    results_.push_back(CaseResult{});
    current_ = results_.size() - 1;
    results_[current_].name = block.name;
    const std::int64_t startUs = NowUs();
    const bool completed = RunAll(script_.setup.statements, endpoint, execute, line) &&
                           RunAll(block.statements, endpoint, execute, line) &&
                           RunAll(script_.teardown.statements, endpoint, execute, line);
    CaseResult& result = results_[current_];
    result.seconds = double(NowUs() - startUs) / 1e6;
    result.stopped = !completed;
    if (completed) {
        out_ << "case " << block.name << ": " << (result.failed == 0 ? "PASS" : "FAIL") << ", " << result.passed
             << " passed, " << result.failed << " failed" << std::endl;
        current_ = 0;
    }
    return completed;
}

}  // namespace gatewaysim
