// gateway-sim-report: a bus log (and the simulator's events) as one HTML
// page of charts and tables.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "HtmlReport.h"
#include "ProductVersion.h"
#include "logs/CandumpFormat.h"

int main(int argc, char** argv) {
    using namespace gatewaysim;
    CLI::App app{
        "Writes a bus log, and the simulator's events, as one self-contained HTML report."};
    app.set_version_flag("--version", std::string("gateway-sim-report ") + productversion::kText);
    report::ReportFiles files;
    report::SummaryOptions options;
    std::vector<std::string> bitrates;
    double tolerancePercent = 100.0 * options.tolerance;
    files.outPath = "report.html";
    app.add_option("LOG", files.logPath,
                   "the bus log (candump log lines; J1708 lines as gateway-sim writes them)")
        ->required();
    app.add_option("--dbc", files.dbcs,
                   "[canN:]FILE, a signal database whose messages are decoded into signals over "
                   "time (repeatable; without canN: for every bus)")
        ->allow_extra_args(false);
    app.add_option("--events", files.eventsPath, "the events gateway-sim wrote with --events");
    app.add_option("-o,--output", files.outPath, "the report to write (default report.html)");
    app.add_option(
        "--bitrate", bitrates,
        "canN:KBITS, the bit rate of a bus in kbit/s for its load, as gateway-sim's (default 250 "
        "each; unlimited: no wire time)")
        ->allow_extra_args(false);
    app.add_option("--tolerance", tolerancePercent,
                   "percent of its period by which an identifier's intervals may be off before it "
                   "drifts (default 10)")
        ->check(CLI::PositiveNumber);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    options.tolerance = tolerancePercent / 100.0;
    for (const std::string& text : bitrates) {
        const std::size_t colon = text.find(':');
        std::uint8_t bus = 0;
        std::string error;
        std::uint32_t rate = 0;
        try {
            if (colon == std::string::npos) throw std::invalid_argument("no ':'");
            const std::string value = text.substr(colon + 1);
            if (value != "unlimited") {
                std::size_t used = 0;
                const unsigned long kbits = std::stoul(value, &used);
                if (used != value.size() || kbits == 0 || kbits > 10'000) throw std::out_of_range("rate");
                rate = static_cast<std::uint32_t>(kbits * 1000);
            }
        } catch (const std::exception&) {
            std::cerr << "gateway-sim-report: --bitrate " << text
                      << ": expected canN:KBITS (1 to 10000) or canN:unlimited\n";
            return 2;
        }
        if (!ParseInterfaceName(text.substr(0, colon), &bus, &error)) {
            std::cerr << "gateway-sim-report: --bitrate " << text << ": " << error << '\n';
            return 2;
        }
        options.bitrates[bus] = rate;
    }
    std::string error;
    if (report::WriteReportFile(files, options, &error) != 0) {
        std::cerr << "gateway-sim-report: " << error << '\n';
        return 1;
    }
    return 0;
}
