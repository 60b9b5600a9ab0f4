#include "LogSummary.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>
#include <unordered_map>

#include "SignalDatabase.h"
#include "bus/CanBus.h"
#include "logs/CandumpFormat.h"

namespace gatewaysim {
namespace report {

namespace {

constexpr std::size_t kUnreadableSamples = 5;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// The value at quantile `q` (0 to 1) of sorted values (nearest rank).
std::int64_t Quantile(const std::vector<std::int64_t>& sorted, double q) {
    if (sorted.empty()) return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

struct Accumulator {
    std::vector<std::int64_t> times;
    std::uint64_t wireBits = 0;
};

void Time(IdentifierTiming* timing, std::vector<std::int64_t>& times,
          const SummaryOptions& options) {
    timing->count = times.size();
    if (times.size() < 2) return;
    std::sort(times.begin(), times.end());
    std::vector<std::int64_t> intervals(times.size() - 1);
    for (std::size_t i = 1; i < times.size(); ++i) intervals[i - 1] = times[i] - times[i - 1];
    std::vector<std::int64_t> sorted = intervals;
    std::sort(sorted.begin(), sorted.end());
    // The lower median, so that the period is an interval that occurred.
    timing->periodUs = sorted[(sorted.size() - 1) / 2];
    timing->longestGapUs = sorted.back();
    std::vector<std::int64_t> off(intervals.size());
    for (std::size_t i = 0; i < intervals.size(); ++i)
        off[i] = std::llabs(intervals[i] - timing->periodUs);
    std::sort(off.begin(), off.end());
    timing->jitterP50Us = Quantile(off, 0.50);
    timing->jitterP99Us = Quantile(off, 0.99);
    timing->drifting = timing->periodUs > 0 && intervals.size() >= 2 &&
                       static_cast<double>(timing->jitterP99Us) >
                           options.tolerance * static_cast<double>(timing->periodUs);
    // Bins up to twice the period (or the longest interval when the period
    // is 0); what lies beyond goes to the last bin.
    const int bins = std::max(1, options.histogramBins);
    const std::int64_t span =
        timing->periodUs > 0 ? 2 * timing->periodUs : std::max<std::int64_t>(1, sorted.back());
    timing->histogramWidthUs = std::max<std::int64_t>(1, (span + bins - 1) / bins);
    timing->histogram.assign(static_cast<std::size_t>(bins) + 1, 0);
    for (const std::int64_t interval : intervals) {
        const std::int64_t bin = std::min<std::int64_t>(bins, interval / timing->histogramWidthUs);
        ++timing->histogram[static_cast<std::size_t>(bin)];
    }
}

}  // namespace

LogSummary SummariseLog(std::istream& in, const SummaryOptions& options) {
    LogSummary summary;
    summary.bitrates = options.bitrates;
    std::vector<CanBus> buses;
    for (const std::uint32_t rate : options.bitrates) buses.emplace_back(rate);
    std::map<std::tuple<int, bool, std::uint32_t>, Accumulator> accumulators;
    std::array<std::unordered_map<std::int64_t, std::int64_t>, kCanBuses> busy;
    std::map<std::tuple<int, const signaldb::Message*, const signaldb::Signal*>, std::size_t>
        signalIndex;
    std::vector<signaldb::DecodedSignal> decoded;
    std::string line;
    std::string error;
    std::uint64_t number = 0;
    LogEntry entry;
    while (std::getline(in, line)) {
        ++number;
        if (!ParseLogLine(line, &entry, &error)) {
            if (summary.unreadableSamples.size() < kUnreadableSamples)
                summary.unreadableSamples.push_back("line " + std::to_string(number) + ": " +
                                                    error);
            ++summary.unreadable;
            continue;
        }
        if (entry.kind == LogEntry::Kind::kNothing) continue;
        if (summary.lines == 0) {
            summary.firstUs = summary.lastUs = entry.timeUs;
        } else {
            summary.firstUs = std::min(summary.firstUs, entry.timeUs);
            summary.lastUs = std::max(summary.lastUs, entry.timeUs);
        }
        ++summary.lines;
        if (entry.kind == LogEntry::Kind::kJ1708) {
            ++summary.frames[kJ1708Bus];
            accumulators[{kJ1708Bus, false, entry.j1708.mid}].times.push_back(entry.timeUs);
            continue;
        }
        const CanFrame& frame = entry.can;
        ++summary.frames[frame.bus];
        const std::uint32_t bits = CanWireBits(frame);
        Accumulator& accumulator = accumulators[{frame.bus, frame.extended, frame.id}];
        accumulator.times.push_back(entry.timeUs);
        accumulator.wireBits += bits;
        busy[frame.bus][FloorDiv(entry.timeUs, kLoadBinUs)] += buses[frame.bus].WireTimeUs(bits);
        if (options.databases == nullptr || frame.remote) continue;
        const signaldb::Message* message =
            options.databases->Find(frame.bus, frame.id, frame.extended);
        if (message == nullptr) continue;
        signaldb::Decode(*message, frame.data, frame.length, &decoded);
        for (const signaldb::DecodedSignal& value : decoded) {
            const auto [at, added] = signalIndex.emplace(
                std::make_tuple(int{frame.bus}, message, value.signal), summary.signals.size());
            if (added) {
                SignalSeries series;
                series.bus = frame.bus;
                series.message = message->name;
                series.signal = value.signal->name;
                series.unit = value.signal->unit;
                summary.signals.push_back(std::move(series));
            }
            summary.signals[at->second].points.emplace_back(entry.timeUs, value.physical);
        }
    }
    std::sort(summary.signals.begin(), summary.signals.end(),
              [](const SignalSeries& a, const SignalSeries& b) {
                  return std::tie(a.bus, a.message, a.signal) <
                         std::tie(b.bus, b.message, b.signal);
              });

    if (summary.lines > 0)
        summary.loadBins =
            FloorDiv(summary.lastUs, kLoadBinUs) - FloorDiv(summary.firstUs, kLoadBinUs) + 1;
    const std::int64_t firstBin = FloorDiv(summary.firstUs, kLoadBinUs);
    for (int bus = 0; bus < kCanBuses; ++bus) {
        auto& bins = summary.busyUs[static_cast<std::size_t>(bus)];
        bins.reserve(busy[static_cast<std::size_t>(bus)].size());
        for (const auto& [bin, us] : busy[static_cast<std::size_t>(bus)])
            bins.emplace_back(bin - firstBin, us);
        std::sort(bins.begin(), bins.end());
        for (const auto& [bin, us] : bins) {
            // A frame is counted whole in the bin it ended in, so a bin can
            // hold a little more than its length.
            const double load = 100.0 * static_cast<double>(us) / static_cast<double>(kLoadBinUs);
            if (load > summary.peakLoad[static_cast<std::size_t>(bus)]) {
                summary.peakLoad[static_cast<std::size_t>(bus)] = load;
                summary.peakBin[static_cast<std::size_t>(bus)] = bin;
            }
        }
    }
    summary.identifiers.reserve(accumulators.size());
    for (auto& [key, accumulator] : accumulators) {
        IdentifierTiming timing;
        std::tie(timing.bus, timing.extended, timing.id) = key;
        timing.wireBits = accumulator.wireBits;
        Time(&timing, accumulator.times, options);
        summary.identifiers.push_back(std::move(timing));
    }
    return summary;
}

ReducedPoints ReducePoints(std::vector<std::pair<std::int64_t, double>> points,
                           std::int64_t originUs, std::int64_t fromUs, std::int64_t toUs,
                           std::int64_t buckets) {
    ReducedPoints out;
    std::stable_sort(points.begin(), points.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const auto x = [originUs](std::int64_t us) { return static_cast<double>(us - originUs) / 1e6; };
    buckets = std::max<std::int64_t>(1, buckets);
    if (static_cast<std::int64_t>(points.size()) <= 2 * buckets || toUs <= fromUs) {
        for (const auto& [us, value] : points) {
            out.x.push_back(x(us));
            out.y.push_back(value);
        }
        return out;
    }
    const double span = static_cast<double>(toUs - fromUs) + 1.0;
    std::size_t i = 0;
    while (i < points.size()) {
        // One bucket: its lowest and its highest point, in time order.
        const auto bucket = static_cast<std::int64_t>(
            static_cast<double>(points[i].first - fromUs) / span * static_cast<double>(buckets));
        std::size_t low = i;
        std::size_t high = i;
        std::size_t j = i + 1;
        for (; j < points.size(); ++j) {
            const auto next =
                static_cast<std::int64_t>(static_cast<double>(points[j].first - fromUs) / span *
                                          static_cast<double>(buckets));
            if (next != bucket) break;
            if (points[j].second < points[low].second) low = j;
            if (points[j].second > points[high].second) high = j;
        }
        const std::size_t first = std::min(low, high);
        const std::size_t second = std::max(low, high);
        out.x.push_back(x(points[first].first));
        out.y.push_back(points[first].second);
        if (second != first) {
            out.x.push_back(x(points[second].first));
            out.y.push_back(points[second].second);
        }
        i = j;
    }
    return out;
}

ReducedSeries ReduceSparse(const std::vector<std::vector<std::pair<std::int64_t, double>>>& series,
                           std::int64_t count, double step, std::int64_t buckets) {
    ReducedSeries out;
    out.y.resize(series.size());
    if (count <= 0) return out;
    buckets = std::max<std::int64_t>(1, buckets);
    if (count <= 2 * buckets) {
        // Few enough to draw every value.
        out.x.resize(static_cast<std::size_t>(count));
        for (std::int64_t i = 0; i < count; ++i)
            out.x[static_cast<std::size_t>(i)] = static_cast<double>(i) * step;
        for (std::size_t s = 0; s < series.size(); ++s) {
            out.y[s].assign(static_cast<std::size_t>(count), 0.0);
            for (const auto& [index, value] : series[s])
                if (index >= 0 && index < count) out.y[s][static_cast<std::size_t>(index)] = value;
        }
        return out;
    }
    // Each bucket as two points: its minimum at its start, its maximum half
    // way, with the same buckets for every series so that they share x.
    const std::int64_t width = (count + buckets - 1) / buckets;
    const std::int64_t used = (count + width - 1) / width;
    out.x.resize(static_cast<std::size_t>(2 * used));
    for (std::int64_t b = 0; b < used; ++b) {
        out.x[static_cast<std::size_t>(2 * b)] = static_cast<double>(b * width) * step;
        out.x[static_cast<std::size_t>(2 * b + 1)] =
            (static_cast<double>(b * width) + static_cast<double>(width) / 2) * step;
    }
    for (std::size_t s = 0; s < series.size(); ++s) {
        std::vector<double>& y = out.y[s];
        y.assign(static_cast<std::size_t>(2 * used), 0.0);
        std::vector<std::int64_t> present(static_cast<std::size_t>(used), 0);
        std::vector<double> low(static_cast<std::size_t>(used), 0.0);
        std::vector<double> high(static_cast<std::size_t>(used), 0.0);
        for (const auto& [index, value] : series[s]) {
            if (index < 0 || index >= count) continue;
            const auto b = static_cast<std::size_t>(index / width);
            if (present[b] == 0) {
                low[b] = high[b] = value;
            } else {
                low[b] = std::min(low[b], value);
                high[b] = std::max(high[b], value);
            }
            ++present[b];
        }
        for (std::int64_t b = 0; b < used; ++b) {
            const auto i = static_cast<std::size_t>(b);
            const std::int64_t size = std::min(width, count - b * width);
            // A bucket with an index not present holds a 0.
            const double minimum = present[i] < size ? std::min(0.0, low[i]) : low[i];
            const double maximum = present[i] < size ? std::max(0.0, high[i]) : high[i];
            y[2 * i] = minimum;
            y[2 * i + 1] = maximum;
        }
    }
    return out;
}

}  // namespace report
}  // namespace gatewaysim
