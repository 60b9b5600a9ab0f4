// Thread rule: pure functions; safe from any thread.
//
// The report of a run as one HTML file that needs nothing else to open: the
// charting library, the page's script and style, and the data are all in it.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Events.h"
#include "LogSummary.h"

namespace gatewaysim {
namespace report {

struct ReportInput {
    std::string title;  // the log's name, as the user gave it
    LogSummary summary;
    EventList events;
    // The scenario's verdict ("pass", "fail") when the caller knows it;
    // otherwise the last "scenario" event's, if any.
    std::string verdict;
    double tolerance = 0.10;  // the drift tolerance used, as a share of the period
    // Points per chart at most (each bucket of the reduction gives two).
    std::int64_t buckets = 2000;
    // The signal databases the signals were decoded with, as given.
    std::vector<std::string> decoding;
};

// Writes the page. False when the stream failed.
bool WriteHtmlReport(const ReportInput& input, std::ostream& out);

// Reads the log at `logPath` (and the events at `eventsPath`, when not
// empty) and writes the report to `outPath`. 0, or 1 with the reason in
// `*error` (a file that cannot be opened, read or written; a signal database
// that does not parse, with its place).
struct ReportFiles {
    std::string logPath;
    std::string eventsPath;
    std::string outPath;
    std::string verdict;
    EventList extraEvents;  // events known to the caller, besides the file's
    // Signal databases, "[canN:]FILE" each: without a bus for every bus.
    std::vector<std::string> dbcs;
};
int WriteReportFile(const ReportFiles& files, const SummaryOptions& options, std::string* error);

}  // namespace report
}  // namespace gatewaysim
