#include "HtmlReport.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ReportAssets.h"
#include "SignalDatabase.h"

namespace gatewaysim {
namespace report {

namespace {

using nlohmann::json;

double Seconds(std::int64_t us) {
    return static_cast<double>(us) / 1e6;
}

// Rounded to `digits` decimals, so that the page carries no noise digits.
double Round(double value, int digits) {
    const double scale = std::pow(10.0, digits);
    return std::round(value * scale) / scale;
}

std::string EscapeHtml(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

json PageData(const ReportInput& input) {
    const LogSummary& summary = input.summary;
    // Times on the page count from the first frame; without frames, from the
    // first event.
    std::int64_t originUs = summary.firstUs;
    if (summary.lines == 0 && !input.events.events.empty())
        originUs = input.events.events.front().timeUs;

    json data;
    data["title"] = input.title;
    data["startUs"] = originUs;
    data["frames"] = summary.lines;
    data["durationS"] = Seconds(summary.lastUs - summary.firstUs);
    data["perBus"] = summary.frames;
    data["bitrates"] = summary.bitrates;
    data["unreadable"] = summary.unreadable;
    data["unreadableSamples"] = summary.unreadableSamples;
    data["unreadableEvents"] = input.events.unreadable;
    data["tolerance"] = input.tolerance;

    std::uint64_t refused = 0;
    std::string verdict = input.verdict;
    json events = json::array();
    for (const Event& event : input.events.events) {
        refused += event.refused;
        if (input.verdict.empty() && event.kind == "scenario" && !event.verdict.empty())
            verdict = event.verdict;
        events.push_back({{"t", Round(Seconds(event.timeUs - originUs), 6)},
                          {"kind", event.kind},
                          {"detail", event.detail},
                          {"verdict", event.verdict}});
    }
    data["events"] = std::move(events);
    data["refused"] = refused;
    data["verdict"] = verdict;

    // The bins start at the first frame's bin: x counts from the first frame.
    const std::int64_t shiftUs = ((summary.firstUs % kLoadBinUs) + kLoadBinUs) % kLoadBinUs;
    // Load in percent of each bin, reduced to the chart's width.
    std::vector<std::vector<std::pair<std::int64_t, double>>> series;
    json buses = json::array();
    json peaks = json::array();
    for (int bus = 0; bus < kCanBuses; ++bus) {
        const auto index = static_cast<std::size_t>(bus);
        if (summary.frames[index] == 0) continue;
        std::vector<std::pair<std::int64_t, double>> load;
        load.reserve(summary.busyUs[index].size());
        for (const auto& [bin, us] : summary.busyUs[index])
            load.emplace_back(bin,
                              100.0 * static_cast<double>(us) / static_cast<double>(kLoadBinUs));
        series.push_back(std::move(load));
        buses.push_back(bus);
        peaks.push_back(
            {{"bus", bus},
             {"load", Round(summary.peakLoad[index], 2)},
             {"atS", Round(Seconds(summary.peakBin[index] * kLoadBinUs - shiftUs), 3)}});
    }
    const ReducedSeries reduced =
        ReduceSparse(series, summary.loadBins, Seconds(kLoadBinUs), input.buckets);
    json x = json::array();
    for (const double value : reduced.x) x.push_back(Round(value - Seconds(shiftUs), 4));
    json y = json::array();
    for (const auto& values : reduced.y) {
        json column = json::array();
        for (const double value : values) column.push_back(Round(value, 2));
        y.push_back(std::move(column));
    }
    data["load"] = {{"buses", buses},
                    {"x", x},
                    {"y", y},
                    {"peaks", peaks},
                    {"reduced", summary.loadBins > 2 * input.buckets},
                    {"binMs", kLoadBinUs / 1000}};

    json identifiers = json::array();
    for (const IdentifierTiming& t : summary.identifiers) {
        identifiers.push_back({t.bus, t.extended, t.id, t.count, t.wireBits,
                               Round(t.periodUs / 1000.0, 3), Round(t.jitterP50Us / 1000.0, 3),
                               Round(t.jitterP99Us / 1000.0, 3), Round(t.longestGapUs / 1000.0, 3),
                               t.drifting, Round(t.histogramWidthUs / 1000.0, 3), t.histogram});
    }
    data["ids"] = std::move(identifiers);

    json signals = json::array();
    for (const SignalSeries& series : summary.signals) {
        const ReducedPoints points =
            ReducePoints(series.points, originUs, summary.firstUs, summary.lastUs, input.buckets);
        json x = json::array();
        for (const double value : points.x) x.push_back(Round(value, 6));
        signals.push_back({{"name", "can" + std::to_string(series.bus) + " " + series.message +
                                        "." + series.signal},
                           {"unit", series.unit},
                           {"count", series.points.size()},
                           {"reduced", points.x.size() < series.points.size()},
                           {"x", std::move(x)},
                           {"y", points.y}});
    }
    data["signals"] = std::move(signals);
    data["decoding"] = input.decoding;
    return data;
}

}  // namespace

bool WriteHtmlReport(const ReportInput& input, std::ostream& out) {
    std::string data = PageData(input).dump(-1, ' ', false, json::error_handler_t::replace);
    // '<' occurs only inside strings: escaped there, no "</script>" can end
    // the block early.
    std::string safe;
    safe.reserve(data.size());
    for (const char c : data) {
        if (c == '<') {
            safe += "\\u003c";
        } else {
            safe += c;
        }
    }
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>Bus report: " << EscapeHtml(input.title)
        << "</title>\n"
        // Errors of the page are collected from the start, for the reader
        // and for tests.
        << "<script>window.reportErrors=[];window.addEventListener('error',function(e){"
           "window.reportErrors.push(String(e.message||e));});"
           "window.addEventListener('unhandledrejection',function(e){window.reportErrors.push("
           "String(e.reason));});"
           "</script>\n"
        << "<style>\n"
        << kUplotStyle << "\n</style>\n"
        << "<style>\n"
        << kPageStyle << "\n</style>\n"
        << "</head>\n<body>\n<noscript>This report draws its content with JavaScript.</noscript>\n"
        << "<main id=\"report\"></main>\n"
        << "<script type=\"application/json\" id=\"report-data\">" << safe << "</script>\n"
        << "<script>\n"
        << kUplotScript << "\n</script>\n"
        << "<script>\n"
        << kPageScript << "\n</script>\n"
        << "</body>\n</html>\n";
    out.flush();
    return static_cast<bool>(out);
}

int WriteReportFile(const ReportFiles& files, const SummaryOptions& options, std::string* error) {
    std::ifstream log(files.logPath, std::ios::binary);
    if (!log) {
        *error = "cannot open the log " + files.logPath;
        return 1;
    }
    ReportInput input;
    input.title = files.logPath;
    input.tolerance = options.tolerance;
    input.verdict = files.verdict;
    signaldb::BusDatabases databases;
    for (const std::string& busFile : files.dbcs) {
        int bus = signaldb::BusDatabases::kAllBuses;
        std::string path;
        if (!signaldb::BusDatabases::ParseBusFile(busFile, &bus, &path, error)) return 1;
        auto database = std::make_shared<signaldb::Database>();
        signaldb::ParseError failure;
        if (!signaldb::LoadDbcFile(path, database.get(), &failure)) {
            *error = failure.ToString();
            return 1;
        }
        databases.Add(bus, std::move(database));
        input.decoding.push_back(busFile);
    }
    SummaryOptions withDatabases = options;
    if (!databases.empty()) withDatabases.databases = &databases;
    input.summary = SummariseLog(log, withDatabases);
    if (log.bad()) {
        *error = "cannot read the log " + files.logPath;
        return 1;
    }
    if (!files.eventsPath.empty()) {
        std::ifstream events(files.eventsPath, std::ios::binary);
        if (!events) {
            *error = "cannot open the events " + files.eventsPath;
            return 1;
        }
        input.events = ReadEvents(events);
    }
    for (const Event& event : files.extraEvents.events) input.events.events.push_back(event);
    std::stable_sort(input.events.events.begin(), input.events.events.end(),
                     [](const Event& a, const Event& b) { return a.timeUs < b.timeUs; });
    std::ofstream out(files.outPath, std::ios::binary | std::ios::trunc);
    if (!out || !WriteHtmlReport(input, out)) {
        *error = "cannot write the report " + files.outPath;
        return 1;
    }
    out.close();
    if (!out) {
        *error = "cannot write the report " + files.outPath;
        return 1;
    }
    return 0;
}

}  // namespace report
}  // namespace gatewaysim
