// gateway-sim-decode: prints a candump log with every frame's message and
// signals, or chosen signals as CSV, against DBC files.
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "ProductVersion.h"
#include "SignalDatabase.h"
#include "logs/CandumpFormat.h"
#include "signals/SignalView.h"

namespace {

// Exit codes.
constexpr int kUnreadable = 1;  // a DBC file or the log could not be read
constexpr int kBadUsage = 2;

struct Arguments {
    std::vector<std::string> dbcs;
    std::string signals;
    bool singleLine = false;
    std::string log = "-";
};

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    Arguments args;
    CLI::App app(
        "Decodes a candump log (the simulator's, can-utils' or python-can's) with DBC files: each frame\n"
        "is printed with its message and its signals' physical values, units and named values;\n"
        "J1939 messages sent by the transport protocol are decoded whole. With --signals it prints\n"
        "CSV instead: a column per signal, a row per frame that carries one of them.\n"
        "Exit status: 0 done, 1 a file could not be read or parsed, 2 bad usage.",
        "gateway-sim-decode");
    app.set_help_flag("-h,--help", "this text");
    app.set_version_flag("--version", std::string("gateway-sim-decode ") + productversion::kText,
                         "the version");
    app.add_option("--dbc", args.dbcs, "a DBC file for every bus, or for bus N only (repeatable)")
        ->type_name("[canN:]FILE")
        ->allow_extra_args(false)
        ->required();
    app.add_option("--signals", args.signals,
                   "print CSV of these signals: time,MESSAGE.SIGNAL,... (empty where a frame does not carry one)")
        ->type_name("MESSAGE.SIGNAL,...");
    app.add_flag("--single-line", args.singleLine, "print each decoded frame on one line");
    app.add_option("LOG", args.log, "the log to read (default -: standard input)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "gateway-sim-decode: " << e.what() << " (try --help)\n";
        return kBadUsage;
    }

    signaldb::BusDatabases databases;
    for (const auto& busFile : args.dbcs) {
        int bus = 0;
        std::string path, error;
        if (!signaldb::BusDatabases::ParseBusFile(busFile, &bus, &path, &error)) {
            std::cerr << "gateway-sim-decode: --dbc " << busFile << ": " << error << " (try --help)\n";
            return kBadUsage;
        }
        auto db = std::make_shared<signaldb::Database>();
        signaldb::ParseError parseError;
        if (!signaldb::LoadDbcFile(path, db.get(), &parseError)) {
            std::cerr << "gateway-sim-decode: " << parseError.ToString() << "\n";
            return kUnreadable;
        }
        databases.Add(bus, std::move(db));
    }

    const bool csv = !args.signals.empty();
    gatewaysim::SignalColumns columns;
    if (csv) {
        std::string error;
        if (!columns.Parse(args.signals, databases, &error)) {
            std::cerr << "gateway-sim-decode: --signals: " << error << "\n";
            return kBadUsage;
        }
    }

    std::ifstream file;
    std::istream* in = &std::cin;
    if (args.log != "-") {
        file.open(args.log, std::ios::binary);
        if (!file) {
            std::cerr << "gateway-sim-decode: cannot read " << args.log << "\n";
            return kUnreadable;
        }
        in = &file;
    }

    std::ostream& out = std::cout;
    if (csv) out << columns.Header() << "\n";
    gatewaysim::FrameDecoder decoder(databases);
    std::string line, row;
    std::size_t lineNumber = 0, refused = 0;
    std::string firstRefusal;
    bool frameDecoded = false;
    std::string completed;  // messages that the line's frame completed, printed after it
    const auto sink = [&](const gatewaysim::DecodedMessage& decoded) {
        if (csv) {
            if (columns.Row(decoded, &row)) out << row << "\n";
            return;
        }
        const std::string text =
            " ::" + std::string(args.singleLine ? " " : "\n") + gatewaysim::FormatSignals(decoded, args.singleLine) + "\n";
        if (!decoded.reassembled) {
            frameDecoded = true;
            out << line << text;
        } else {
            completed += gatewaysim::FormatMessageLine(decoded) + text;
        }
    };
    while (std::getline(*in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        gatewaysim::LogLineParts parts;
        gatewaysim::LogEntry entry;
        std::string error;
        std::uint8_t bus = 0;
        const bool split = gatewaysim::SplitLogLine(line, &parts, &error);
        const bool isCan = split && !parts.comment && gatewaysim::ParseInterfaceName(parts.interface, &bus, &error) &&
                           gatewaysim::ParseLogFrame(parts, -1, &entry, &error);
        if (!split || (!parts.comment && !isCan && parts.interface != "j1708")) {
            if (refused++ == 0) firstRefusal = "line " + std::to_string(lineNumber) + ": " + error;
        }
        frameDecoded = false;
        completed.clear();
        if (isCan && entry.kind == gatewaysim::LogEntry::Kind::kCan) decoder.OnFrame(entry.timeUs, entry.can, sink);
        if (!csv && !frameDecoded) out << line << "\n";  // as it is: not a frame of a known message
        out << completed;
    }
    out.flush();
    if (refused > 0) {
        std::cerr << "gateway-sim-decode: " << refused << " line(s) not decoded as CAN frames (first: " << firstRefusal
                  << ")\n";
    }
    return 0;
}
