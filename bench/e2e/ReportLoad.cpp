// The bus report of a large log: writes a log of FRAMES frames (default
// 1,000,000) on five buses, 40 identifiers each, every identifier cyclic
// with its own period and a little jitter; times gateway-sim-report on it,
// gives the report's size, then opens it in headless Chromium and gives the
// time from the start of loading until every chart was drawn (the page's own
// measure) and the browser's whole run.
//
//   customapp_reportload [--frames N] [--report PATH] [--chromium PATH] [--keep]
//
// The exit status is 0 when the report was written and drawn without error.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

struct Settings {
    long frames = 1'000'000;
    std::string report = GATEWAY_SIM_REPORT_PATH;
    std::string chromium = "/usr/bin/chromium";
    bool keep = false;
};

// Processor time (user and system) of the children waited for so far.
double ChildrenCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The log, in time order: identifier k of bus b has a period of 10 ms to
// 1 s; the frames of all of them merged as they fall due.
bool WriteLog(const std::string& path, long frames) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) return false;
    constexpr int kBuses = 5;
    constexpr int kPerBus = 40;
    constexpr int kRows = kBuses * kPerBus;
    std::int64_t periodUs[kRows];
    std::int64_t dueUs[kRows];
    for (int i = 0; i < kRows; ++i) {
        periodUs[i] = 10'000 + (i % kPerBus) * 25'000;
        dueUs[i] = i * 137;
    }
    std::mt19937 random(7);
    std::uniform_int_distribution<int> jitter(-300, 300);
    const std::int64_t startUs = 1'796'676'520'000'000;
    for (long n = 0; n < frames; ++n) {
        int next = 0;
        for (int i = 1; i < kRows; ++i)
            if (dueUs[i] < dueUs[next]) next = i;
        const std::int64_t at = startUs + dueUs[next] + jitter(random);
        const int bus = next / kPerBus;
        std::fprintf(out, "(%" PRId64 ".%06" PRId64 ") can%d %08X#%016" PRIX64 "\n", at / 1'000'000,
                     at % 1'000'000, bus, 0x18FE0000u + static_cast<unsigned>(next),
                     static_cast<std::uint64_t>(n));
        dueUs[next] += periodUs[next];
    }
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--frames" && i + 1 < argc) {
            settings.frames = std::atol(argv[++i]);
        } else if (arg == "--report" && i + 1 < argc) {
            settings.report = argv[++i];
        } else if (arg == "--chromium" && i + 1 < argc) {
            settings.chromium = argv[++i];
        } else if (arg == "--keep") {
            settings.keep = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--frames N] [--report PATH] [--chromium PATH] [--keep]\n",
                         argv[0]);
            return 2;
        }
    }
    char folder[] = "/tmp/reportload-XXXXXX";
    if (::mkdtemp(folder) == nullptr) return 1;
    const std::string log = std::string(folder) + "/bus.log";
    const std::string page = std::string(folder) + "/report.html";
    if (!WriteLog(log, settings.frames)) {
        std::fprintf(stderr, "cannot write %s\n", log.c_str());
        return 1;
    }
    struct stat logStat {};
    ::stat(log.c_str(), &logStat);
    std::printf("log: %ld frames, 5 buses, 200 identifiers, %.1f MB\n", settings.frames,
                static_cast<double>(logStat.st_size) / 1e6);

    double cpu = ChildrenCpuSeconds();
    auto start = std::chrono::steady_clock::now();
    const std::string write = "'" + settings.report + "' '" + log + "' -o '" + page + "'";
    const int written = std::system(write.c_str());
    const double writeSeconds = Seconds(start);
    struct stat pageStat {};
    if (written != 0 || ::stat(page.c_str(), &pageStat) != 0) {
        std::fprintf(stderr, "gateway-sim-report failed\n");
        return 1;
    }
    std::printf("report written in %.2f s (%.2f s of processor time), %.2f MB\n", writeSeconds,
                ChildrenCpuSeconds() - cpu, static_cast<double>(pageStat.st_size) / 1e6);
    cpu = ChildrenCpuSeconds();

    start = std::chrono::steady_clock::now();
    const std::string open =
        "'" + settings.chromium + "' --headless --no-sandbox --disable-gpu --log-level=3 " +
        "--user-data-dir='" + folder + "/browser' --dump-dom 'file://" + page + "' 2>/dev/null";
    std::FILE* browser = ::popen(open.c_str(), "r");
    std::string dom;
    char buffer[65536];
    for (std::size_t n;
         browser != nullptr && (n = std::fread(buffer, 1, sizeof buffer, browser)) > 0;)
        dom.append(buffer, n);
    const int closed = browser != nullptr ? ::pclose(browser) : -1;
    const double browserSeconds = Seconds(start);
    const std::size_t body = dom.find("<body");
    const std::string tag =
        body == std::string::npos ? "" : dom.substr(body, dom.find('>', body) - body);
    const std::size_t drawn = tag.find("data-drawn-ms=\"");
    const bool ready = tag.find("data-ready=\"1\"") != std::string::npos;
    const bool clean = dom.find("<pre id=\"page-errors\"></pre>") != std::string::npos;
    if (closed != 0 || !ready || drawn == std::string::npos) {
        std::fprintf(stderr, "the browser did not draw the report\n");
        return 1;
    }
    std::printf(
        "charts drawn %ld ms after loading began; the browser's whole run %.2f s (%.2f s of "
        "processor "
        "time in all its processes); %s\n",
        std::atol(tag.c_str() + drawn + 15), browserSeconds, ChildrenCpuSeconds() - cpu,
        clean ? "no page error" : "PAGE ERRORS");
    if (!settings.keep) {
        std::remove(log.c_str());
        std::remove(page.c_str());
        const std::string clear = "rm -rf '" + std::string(folder) + "'";
        (void)std::system(clear.c_str());
    } else {
        std::printf("kept in %s\n", folder);
    }
    return clean ? 0 : 1;
}
