// Thread rule: pure functions and plain values; safe from any thread.
//
// What a bus log says when it is looked at as a whole: frames per bus, the
// load of each CAN bus over time, and the timing of every identifier.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace signaldb {
class BusDatabases;
}

namespace gatewaysim {
namespace report {

constexpr int kCanBuses = 5;
constexpr int kJ1708Bus = kCanBuses;  // the J1708 bus, numbered after the CAN buses
constexpr std::int64_t kLoadBinUs = 100'000;

struct SummaryOptions {
    // Bit rate of each CAN bus in bits per second (0: frames take no time).
    std::array<std::uint32_t, kCanBuses> bitrates = {250000, 250000, 250000, 250000, 250000};
    // An identifier drifts when the 99th percentile of how far its intervals
    // are off its period exceeds this share of the period.
    double tolerance = 0.10;
    // Intervals in an identifier's histogram (plus one for those beyond).
    int histogramBins = 40;
    // Frames of the messages these know are decoded into signals (null: none).
    const signaldb::BusDatabases* databases = nullptr;
};

// One decoded signal of one message on one bus over time.
struct SignalSeries {
    int bus = 0;
    std::string message;
    std::string signal;
    std::string unit;
    std::vector<std::pair<std::int64_t, double>>
        points;  // (time in microseconds, physical value), as logged
};

// The timing of one identifier on one bus. Times in microseconds.
struct IdentifierTiming {
    int bus = 0;  // 0 to 4; kJ1708Bus for a J1708 MID
    bool extended = false;
    std::uint32_t id = 0;  // CAN identifier or J1708 MID
    std::uint64_t count = 0;
    std::uint64_t wireBits = 0;    // CAN: bits on the wire of all its frames
    std::int64_t periodUs = 0;     // median interval; 0 with fewer than two frames
    std::int64_t jitterP50Us = 0;  // of |interval - period|
    std::int64_t jitterP99Us = 0;
    std::int64_t longestGapUs = 0;  // the longest interval
    bool drifting = false;
    // Interval histogram: bins of histogramWidthUs from 0; the last counts
    // every interval beyond the others.
    std::int64_t histogramWidthUs = 0;
    std::vector<std::uint64_t> histogram;
};

struct LogSummary {
    std::uint64_t lines = 0;                     // lines with a frame
    std::uint64_t unreadable = 0;                // lines that are neither a frame nor a comment
    std::vector<std::string> unreadableSamples;  // the first few, with their line numbers
    std::int64_t firstUs = 0;                    // time of the earliest frame (0 without frames)
    std::int64_t lastUs = 0;                     // time of the latest frame
    std::array<std::uint64_t, kCanBuses + 1> frames{};  // per bus; [kJ1708Bus]: J1708
    std::array<std::uint32_t, kCanBuses> bitrates{};
    // Bus load: per CAN bus, the wire time of each 100 ms bin from the bin of
    // the first frame, in microseconds, as (bin, busy) pairs of the bins that
    // carried anything, in bin order.
    std::int64_t loadBins = 0;  // bins from the first frame's to the last frame's
    std::array<std::vector<std::pair<std::int64_t, std::int64_t>>, kCanBuses> busyUs;
    std::array<double, kCanBuses> peakLoad{};  // percent, of the busiest bin
    std::array<std::int64_t, kCanBuses> peakBin{};
    std::vector<IdentifierTiming> identifiers;  // by bus, then identifier
    std::vector<SignalSeries> signals;          // by bus, message, then signal
};

// Reads a log in the simulator's format (candump's log lines, J1708 lines
// as the simulator writes them) and summarises it. A line that cannot be read
// is counted and skipped.
LogSummary SummariseLog(std::istream& in, const SummaryOptions& options);

// A time series reduced for drawing: cut into at most `buckets` equal spans
// of [fromUs, toUs], each drawn as its lowest and its highest point in their
// order; without reduction every point. x in seconds from `originUs`.
struct ReducedPoints {
    std::vector<double> x;
    std::vector<double> y;
};
ReducedPoints ReducePoints(std::vector<std::pair<std::int64_t, double>> points,
                           std::int64_t originUs, std::int64_t fromUs, std::int64_t toUs,
                           std::int64_t buckets);

// A series reduced for drawing: at most `buckets` buckets of equal width,
// each drawn as its minimum and its maximum, so that no extreme is lost.
// Without reduction, one point per value.
struct ReducedSeries {
    std::vector<double> x;               // shared by all series
    std::vector<std::vector<double>> y;  // one per input series
};
// `series` holds, per series, (index, value) pairs sorted by index of a dense
// range [0, count); indices not present have the value 0. x is index * step.
ReducedSeries ReduceSparse(const std::vector<std::vector<std::pair<std::int64_t, double>>>& series,
                           std::int64_t count, double step, std::int64_t buckets);

}  // namespace report
}  // namespace gatewaysim
