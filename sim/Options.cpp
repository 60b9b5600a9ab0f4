#include "Options.h"

#include <array>
#include <cerrno>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "ProductVersion.h"
#include "SignalDatabase.h"
#include "socketcand/SocketcandServer.h"

namespace gatewaysim {

namespace {

constexpr const char* kDefaultEndpoint = "/usr/local/quarrin/share/gatrel";
constexpr std::size_t kMaxEepromSize = 16u * 1024u * 1024u;

bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

// An octal file mode, "600" or "0640".
bool ParseFileMode(const std::string& text, int* mode) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos) return false;
    const long value = std::strtol(text.c_str(), nullptr, 8);
    if (value > 0777) return false;
    *mode = static_cast<int>(value);
    return true;
}

// "[BUS:]KBITS" or "[BUS:]unlimited": the bit rate of one bus, or of all
// of them.
bool ParseBitrate(const std::string& text, std::array<std::uint32_t, kCanBusCount>* bitrates) {
    const std::size_t colon = text.find(':');
    unsigned long long bus = 0, kbits = 0;
    if (colon != std::string::npos && !ParseUnsigned(text.substr(0, colon), kCanBusCount - 1, &bus)) return false;
    const std::string rate = colon == std::string::npos ? text : text.substr(colon + 1);
    if (rate != "unlimited" &&
        (!ParseUnsigned(rate, 1000, &kbits) || (kbits != 250 && kbits != 500 && kbits != 1000)))
        return false;
    const std::uint32_t bitsPerSecond = rate == "unlimited" ? BusLoad::kUnlimited : static_cast<std::uint32_t>(kbits * 1000);
    for (std::size_t b = 0; b < bitrates->size(); ++b)
        if (colon == std::string::npos || b == bus) (*bitrates)[b] = bitsPerSecond;
    return true;
}

}  // namespace

bool ParseStaticCa(const std::string& text, J1939Service::StaticCa* ca, std::string* error) {
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string::npos ? std::string::npos : text.find(':', first + 1);
    unsigned long long bus = 0, address = 0;
    if (first == std::string::npos || !ParseUnsigned(text.substr(0, first), 4, &bus) ||
        !ParseUnsigned(text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1),
                       253, &address)) {
        if (error) *error = "--static-ca takes BUS:ADDRESS[:NAME], bus 0 to 4, address 0 to 253";
        return false;
    }
    std::uint64_t name = address;
    if (second != std::string::npos) {
        std::string hex = text.substr(second + 1);
        if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.erase(0, 2);
        if (hex.empty() || hex.size() > 16) {
            if (error) *error = "a NAME has 1 to 16 hex digits";
            return false;
        }
        name = 0;
        for (const char c : hex) {
            int digit;
            if (c >= '0' && c <= '9') digit = c - '0';
            else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            else {
                if (error) *error = "a NAME has 1 to 16 hex digits";
                return false;
            }
            name = (name << 4) | static_cast<std::uint64_t>(digit);
        }
    }
    ca->bus = static_cast<std::uint8_t>(bus);
    ca->address = static_cast<std::uint8_t>(address);
    ca->name = name;
    return true;
}

namespace {

// The simulator's command line, with its targets in `o` and the texts that
// are checked and converted after parsing.
struct CommandLine {
    explicit CommandLine(ProgramOptions* o) : app("Simulates the gateway's platform services (CAN, J1939, J1708, "
                                                  "virtual EEPROM,\nplug-in jobs) for applications built against the "
                                                  "custom application library.",
                                                  "gateway-sim") {
        const CLI::Validator notEmpty([](std::string& value) { return value.empty() ? "an empty value" : ""; },
                                      "", "not empty");
        const CLI::Validator staticCa(
            [](std::string& value) {
                J1939Service::StaticCa ca;
                std::string error;
                return ParseStaticCa(value, &ca, &error) ? std::string() : error;
            },
            "", "static CA");
        const CLI::Validator socketcand(
            [](std::string& value) {
                std::string host;
                std::uint16_t port = 0;
                std::string error;
                return ParseSocketcandAddress(value, &host, &port, &error) ? std::string() : error;
            },
            "", "socketcand address");
        app.set_help_flag("-h,--help", "this text");
        app.set_version_flag("--version", std::string("gateway-sim ") + productversion::kText, "the simulator's version");
        app.add_option("--endpoint", o->simulator.endpoint,
                       "socket to serve (default: $GATREL_ENDPOINT, else /usr/local/quarrin/share/gatrel)")
            ->type_name("PATH")
            ->check(notEmpty);
        app.add_option("--data", o->simulator.dataFolder, "folder of the EEPROM files (default: gateway-sim-data)")
            ->type_name("DIR")
            ->check(notEmpty);
        files = app.add_option("--files", o->simulator.pluginFolder,
                               "folder of the files served to plug-ins (default: DATA/plugin-files)")
                    ->type_name("DIR")
                    ->check(notEmpty);
        app.add_option("--eeprom-size", o->simulator.eepromSize, "size of each application's EEPROM (default: 4096)")
            ->type_name("BYTES")
            ->check(CLI::Range(std::size_t{1}, kMaxEepromSize).description(""));
        app.add_option("--static-ca", staticCas,
                       "a CA that the platform keeps on a bus (repeatable); NAME in hex, by default the address itself")
            ->type_name("BUS:ADDRESS[:NAME]")
            ->check(staticCa);
        app.add_option("--tp-gap", o->simulator.tpPacketGapMs,
                       "milliseconds between the data packets of a J1939 BAM (default 50 as on a truck; less for "
                       "faster test runs)")
            ->type_name("MS")
            ->check(CLI::Range(std::int64_t{0}, std::int64_t{200}).description(""));
        const CLI::Validator bitrate(
            [](std::string& value) {
                std::array<std::uint32_t, kCanBusCount> rates{};
                return ParseBitrate(value, &rates) ? std::string()
                                                   : "takes [BUS:]KBITS, bus 0 to 4, 250, 500 or 1000 kbit/s, or unlimited";
            },
            "", "bit rate");
        app.add_option("--bitrate", bitrates,
                       "bit rate of a bus (repeatable), or of all buses without BUS: 250, 500 or 1000 kbit/s "
                       "(default: 250), or unlimited (frames take no wire time)")
            ->type_name("[BUS:]KBITS|unlimited")
            ->check(bitrate);
        CLI::Option* log = app.add_option("--log", o->simulator.logPath,
                                          "write every CAN frame to FILE in the candump log format (- for standard "
                                          "output); a file that is not empty is refused")
                               ->type_name("FILE")
                               ->check(notEmpty);
        app.add_option("--log-append", logAppend, "as --log, adding to FILE when it exists")
            ->type_name("FILE")
            ->check(notEmpty)
            ->excludes(log);
        CLI::Option* j1708Log =
            app.add_option("--j1708-log", o->simulator.j1708LogPath,
                           "write every J1708 frame to FILE (- for standard output); a file that is not empty is "
                           "refused")
                ->type_name("FILE")
                ->check(notEmpty);
        app.add_option("--j1708-log-append", j1708LogAppend, "as --j1708-log, adding to FILE when it exists")
            ->type_name("FILE")
            ->check(notEmpty)
            ->excludes(j1708Log);
        app.add_option("--replay", o->replayPath, "replay a candump log into the buses at start")
            ->type_name("FILE")
            ->check(notEmpty);
        CLI::Option* script =
            app.add_option("--script", o->scriptPath,
                           "run the scenario FILE (commands, waits, expectations), print a line per expectation and "
                           "exit with 0 when none failed, 1 when one did, 2 when the file is wrong, 3 when stopped")
                ->type_name("FILE")
                ->check(notEmpty);
        app.add_option("--junit", o->junitPath, "with --script, write the verdict of each case as JUnit XML to FILE")
            ->type_name("FILE")
            ->check(notEmpty)
            ->needs(script);
        app.add_option("--case", o->scriptCase, "with --script, run only the case NAME")
            ->type_name("NAME")
            ->check(notEmpty)
            ->needs(script);
        app.add_flag("--list", o->listCases, "with --script, print the scenario's cases and exit")->needs(script);
        app.add_option("--nodes", o->nodesPath,
                       "simulated ECUs from FILE: node, set, ramp, ident, dtc and pause lines, run in order at "
                       "start")
            ->type_name("FILE")
            ->check(notEmpty);
        app.add_option("--events", o->eventsPath,
                       "write the run's events (faults, applications connected and gone, address claims lost, "
                       "the scenario's expectations) to FILE, one JSON object a line, timed on the log's clock")
            ->type_name("FILE")
            ->check(notEmpty);
        app.add_option("--report", o->reportPath,
                       "at exit, write a report of the run (bus load, timing per identifier, events) to FILE as one "
                       "HTML page; needs --log or --log-append with a file")
            ->type_name("FILE")
            ->check(notEmpty);
        app.add_flag("--replay-fast", o->replayFast, "replay as fast as possible instead of with the log's timing");
        app.add_option("--control", o->controlPath, "serve operator commands on a Unix socket at PATH")
            ->type_name("PATH")
            ->check(notEmpty);
        app.add_option("--socketcand", socketcandAddress,
                       "serve the buses to CAN tools over TCP in socketcand's raw mode (HOST: an IPv4 address "
                       "or a host name, default 127.0.0.1; socketcand's usual port is 29536)")
            ->type_name("[HOST:]PORT")
            ->check(socketcand);
        app.add_option("--file-mode", fileMode,
                       "mode of the EEPROM files, the logs it creates and the endpoint and control sockets, in octal (default: 600, "
                       "the owner only)")
            ->type_name("MODE")
            ->check(CLI::Validator(
                [](std::string& value) {
                    int mode = 0;
                    return ParseFileMode(value, &mode) ? std::string() : "takes an octal mode from 0 to 777";
                },
                "", "file mode"));
        const CLI::Validator dbc(
            [](std::string& value) {
                int bus = 0;
                std::string path, error;
                return signaldb::BusDatabases::ParseBusFile(value, &bus, &path, &error) ? std::string() : error;
            },
            "", "DBC file");
        app.add_option("--dbc", o->dbcs,
                       "a DBC file of signals for every bus, or for bus N only (repeatable): frames and signals "
                       "by name at the prompt (watch, decode)")
            ->type_name("[canN:]FILE")
            ->allow_extra_args(false)
            ->check(dbc);
        app.add_flag("--no-prompt", noPrompt, "do not read commands from standard input");
        app.add_flag("--quiet", o->quiet, "do not print reports on standard error");
        app.add_option("--silence", silenced,
                       "leave out one class of reports (repeatable): timing, j1939, applications or replay")
            ->type_name("CLASS")
            ->check(CLI::IsMember({"timing", "j1939", "applications", "replay"}));
        app.add_option("--timing-tolerance", o->simulator.timingTolerancePercent,
                       "how far an interval may be off a cyclic frame's period before it is reported, in percent "
                       "(default 10)")
            ->type_name("PERCENT")
            ->check(CLI::Range(0.1, 1000.0).description(""));
        app.footer("Commands (at the prompt or through the control socket), one per line:");
    }

    CLI::App app;
    CLI::Option* files = nullptr;
    std::vector<std::string> staticCas;
    std::vector<std::string> bitrates;  // in the order given: a later one wins
    std::string socketcandAddress;
    std::string logAppend;
    std::string j1708LogAppend;
    std::vector<std::string> silenced;
    std::string fileMode;
    bool noPrompt = false;
};

}  // namespace

ParseOutcome ParseProgramOptions(const std::vector<std::string>& args, const char* environmentEndpoint,
                                 ProgramOptions* options, std::string* error) {
    ProgramOptions o;
    o.simulator.endpoint =
        environmentEndpoint != nullptr && environmentEndpoint[0] != '\0' ? environmentEndpoint : kDefaultEndpoint;
    o.simulator.dataFolder = "gateway-sim-data";
    CommandLine line(&o);
    // The parser takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        line.app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        return ParseOutcome::kHelp;
    } catch (const CLI::CallForVersion&) {
        return ParseOutcome::kVersion;
    } catch (const CLI::ParseError& e) {
        if (error) *error = std::string(e.what()) + " (try --help)";
        return ParseOutcome::kError;
    }
    for (const std::string& text : line.bitrates) ParseBitrate(text, &o.simulator.bitrates);
    for (const std::string& text : line.staticCas) {
        J1939Service::StaticCa ca;
        if (!ParseStaticCa(text, &ca, error)) return ParseOutcome::kError;
        o.simulator.staticCas.push_back(ca);
    }
    if (!line.socketcandAddress.empty() &&
        !ParseSocketcandAddress(line.socketcandAddress, &o.socketcandHost, &o.socketcandPort, error))
        return ParseOutcome::kError;
    if (!line.logAppend.empty()) {
        o.simulator.logPath = line.logAppend;
        o.simulator.logAppend = true;
    }
    if (!line.j1708LogAppend.empty()) {
        o.simulator.j1708LogPath = line.j1708LogAppend;
        o.simulator.j1708LogAppend = true;
    }
    if (!o.reportPath.empty() && (o.simulator.logPath.empty() || o.simulator.logPath == "-")) {
        if (error) *error = "--report needs the CAN log in a file (--log FILE or --log-append FILE)";
        return ParseOutcome::kError;
    }
    for (const std::string& name : line.silenced) o.simulator.silenced |= ReportClassNamed(name);
    if (!line.fileMode.empty()) ParseFileMode(line.fileMode, &o.simulator.fileMode);
    o.prompt = !line.noPrompt;
    if (line.files->count() == 0) o.simulator.pluginFolder = o.simulator.dataFolder + "/plugin-files";
    *options = o;
    return ParseOutcome::kRun;
}

std::string ProgramUsage() {
    ProgramOptions unused;
    CommandLine line(&unused);
    return line.app.help() + "\n";
}

}  // namespace gatewaysim
