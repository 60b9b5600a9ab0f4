#include "Options.h"

#include <cerrno>
#include <cstdlib>

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

// "[BUS:]KBITS": the bit rate of one bus, or of all of them.
bool ParseBitrate(const std::string& text, std::array<std::uint32_t, kCanBusCount>* bitrates) {
    const std::size_t colon = text.find(':');
    unsigned long long bus = 0, kbits = 0;
    if (colon != std::string::npos && !ParseUnsigned(text.substr(0, colon), kCanBusCount - 1, &bus)) return false;
    if (!ParseUnsigned(colon == std::string::npos ? text : text.substr(colon + 1), 1000, &kbits) ||
        (kbits != 250 && kbits != 500 && kbits != 1000))
        return false;
    for (std::size_t b = 0; b < bitrates->size(); ++b)
        if (colon == std::string::npos || b == bus) (*bitrates)[b] = static_cast<std::uint32_t>(kbits * 1000);
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
        const std::string hex = text.substr(second + 1);
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

ParseOutcome ParseProgramOptions(const std::vector<std::string>& args, const char* environmentEndpoint,
                                 ProgramOptions* options, std::string* error) {
    ProgramOptions o;
    o.simulator.endpoint =
        environmentEndpoint != nullptr && environmentEndpoint[0] != '\0' ? environmentEndpoint : kDefaultEndpoint;
    o.simulator.dataFolder = "gateway-sim-data";
    bool filesGiven = false;
    const auto fail = [&](const std::string& reason) {
        if (error) *error = reason;
        return ParseOutcome::kError;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&](std::string* out) {
            if (i + 1 >= args.size() || args[i + 1].empty()) return false;
            *out = args[++i];
            return true;
        };
        if (a == "--help" || a == "-h") return ParseOutcome::kHelp;
        if (a == "--version") return ParseOutcome::kVersion;
        if (a == "--endpoint") {
            if (!value(&o.simulator.endpoint)) return fail("--endpoint needs a path");
        } else if (a == "--data") {
            if (!value(&o.simulator.dataFolder)) return fail("--data needs a folder");
        } else if (a == "--files") {
            if (!value(&o.simulator.pluginFolder)) return fail("--files needs a folder");
            filesGiven = true;
        } else if (a == "--eeprom-size") {
            std::string text;
            unsigned long long size = 0;
            if (!value(&text) || !ParseUnsigned(text, kMaxEepromSize, &size) || size == 0)
                return fail("--eeprom-size takes 1 to " + std::to_string(kMaxEepromSize) + " bytes");
            o.simulator.eepromSize = static_cast<std::size_t>(size);
        } else if (a == "--static-ca") {
            std::string text;
            J1939Service::StaticCa ca;
            if (!value(&text)) return fail("--static-ca needs BUS:ADDRESS[:NAME]");
            if (!ParseStaticCa(text, &ca, error)) return ParseOutcome::kError;
            o.simulator.staticCas.push_back(ca);
        } else if (a == "--bitrate") {
            std::string text;
            if (!value(&text) || !ParseBitrate(text, &o.simulator.bitrates))
                return fail("--bitrate takes [BUS:]KBITS, bus 0 to 4, 250, 500 or 1000 kbit/s");
        } else if (a == "--log") {
            if (!value(&o.simulator.logPath)) return fail("--log needs a file (- for standard output)");
        } else if (a == "--replay") {
            if (!value(&o.replayPath)) return fail("--replay needs a file");
        } else if (a == "--replay-fast") {
            o.replayFast = true;
        } else if (a == "--control") {
            if (!value(&o.controlPath)) return fail("--control needs a path");
        } else if (a == "--no-prompt") {
            o.prompt = false;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else {
            return fail("unknown option " + a + " (try --help)");
        }
    }
    if (!filesGiven) o.simulator.pluginFolder = o.simulator.dataFolder + "/plugin-files";
    *options = o;
    return ParseOutcome::kRun;
}

const char* ProgramUsage() {
    return "usage: gateway-sim [OPTION]...\n"
           "Simulates the gateway's platform services (CAN, J1939, J1708, virtual EEPROM,\n"
           "plug-in jobs) for applications built against the custom application library.\n"
           "\n"
           "  --endpoint PATH        socket to serve (default: $GATREL_ENDPOINT, else\n"
           "                         /usr/local/quarrin/share/gatrel)\n"
           "  --data DIR             folder of the EEPROM files (default: gateway-sim-data)\n"
           "  --files DIR            folder of the files served to plug-ins\n"
           "                         (default: DATA/plugin-files)\n"
           "  --eeprom-size BYTES    size of each application's EEPROM (default: 4096)\n"
           "  --static-ca BUS:ADDRESS[:NAME]\n"
           "                         a CA that the platform keeps on a bus (repeatable);\n"
           "                         NAME in hex, by default the address itself\n"
           "  --bitrate [BUS:]KBITS  bit rate of a bus (repeatable), or of all buses without\n"
           "                         BUS: 250, 500 or 1000 kbit/s (default: 250)\n"
           "  --log FILE             write every frame to FILE in the candump log format\n"
           "                         (- for standard output)\n"
           "  --replay FILE          replay a candump log into the buses at start\n"
           "  --replay-fast          replay as fast as possible instead of with the log's timing\n"
           "  --control PATH         serve operator commands on a Unix socket at PATH\n"
           "  --no-prompt            do not read commands from standard input\n"
           "  --quiet                do not print reports on standard error\n"
           "  --help                 this text\n"
           "  --version              the simulator's version\n"
           "\n"
           "Commands (at the prompt or through the control socket), one per line:\n";
}

}  // namespace gatewaysim
