// The report as a person sees it: pages written by the simulator and by
// gateway-sim-report, opened in a headless browser, and what it shows
// compared with the log they came from.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "Harness.h"

namespace integration {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The page after its scripts ran (the browser's serialised document); with
// `screenshot`, a picture of it there too.
std::string OpenPage(const TempFolder& folder, const std::string& page, const std::string& fragment,
                     const std::string& screenshot = "") {
    const std::vector<std::string> common = {CHROMIUM_PATH,
                                             "--headless",
                                             "--no-sandbox",
                                             "--disable-gpu",
                                             "--user-data-dir=" + (folder / "browser"),
                                             "--virtual-time-budget=10000",
                                             "--log-level=3",
                                             "--window-size=1280,2600"};
    const std::string url = "file://" + page + fragment;
    if (!screenshot.empty()) {
        std::vector<std::string> argv = common;
        argv.push_back("--screenshot=" + screenshot);
        argv.push_back(url);
        Process shot;
        EXPECT_TRUE(shot.Start(argv, {}));
        EXPECT_EQ(shot.Wait(60'000), 0);
    }
    std::vector<std::string> argv = common;
    argv.push_back("--dump-dom");
    argv.push_back(url);
    Process browser;
    EXPECT_TRUE(browser.Start(argv, {}));
    EXPECT_EQ(browser.Wait(60'000), 0);
    std::string dom;
    for (const std::string& line : browser.Lines()) dom += line + "\n";
    return dom;
}

// The start tag of the element that carries `marker` (an attribute as
// written, such as id="chart-load"); empty when there is none.
std::string TagWith(const std::string& dom, const std::string& marker) {
    const std::size_t at = dom.find(marker);
    if (at == std::string::npos) return "";
    const std::size_t start = dom.rfind('<', at);
    return dom.substr(start, dom.find('>', at) - start + 1);
}

std::string Attribute(const std::string& tag, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const std::size_t at = tag.find(key);
    if (at == std::string::npos) return "";
    const std::size_t start = at + key.size();
    return tag.substr(start, tag.find('"', start) - start);
}

// The text of each cell of the table row that carries `marker`.
std::vector<std::string> Cells(const std::string& dom, const std::string& marker) {
    std::vector<std::string> cells;
    std::size_t at = dom.find(marker);
    if (at == std::string::npos) return cells;
    const std::size_t end = dom.find("</tr>", at);
    while ((at = dom.find("<td", at)) < end) {
        const std::size_t close = dom.find("</td>", at);
        std::string text;
        bool inTag = false;
        for (std::size_t i = at; i < close; ++i) {
            if (dom[i] == '<')
                inTag = true;
            else if (dom[i] == '>')
                inTag = false;
            else if (!inTag)
                text += dom[i];
        }
        cells.push_back(text);
        at = close;
    }
    return cells;
}

// What every page must show: it finished and raised no error.
void ExpectSound(const std::string& dom) {
    EXPECT_EQ(Attribute(TagWith(dom, "<body"), "data-ready"), "1") << dom.substr(0, 2000);
    EXPECT_NE(dom.find("<pre id=\"page-errors\"></pre>"), std::string::npos)
        << TagWith(dom, "id=\"page-errors\"") << dom.substr(dom.find("page-errors"), 500);
}

std::int64_t Microseconds(const std::string& seconds) {
    const std::size_t dot = seconds.find('.');
    return std::stoll(seconds.substr(0, dot)) * 1'000'000 + std::stoll(seconds.substr(dot + 1, 6));
}

TEST(Report, AScenarioRunShowsItsFramesPeriodAndFault) {
    TempFolder temp;
    std::string programs = VEHICLE_APP_PATH;
    programs.erase(programs.rfind('/'));
    const char* inherited = std::getenv("PATH");
    Process sim;
    ASSERT_TRUE(sim.Start(
        {GATEWAY_SIM_PATH, "--endpoint", temp / "endpoint", "--data", temp / "data", "--quiet",
         "--script", std::string(EXAMPLE_SCENARIOS_DIR) + "/vehicle_app_silent_bus.scenario",
         "--log", temp / "run.log", "--events", temp / "run.events", "--report", temp / "run.html"},
        {"PATH=" + programs + ":" + (inherited ? inherited : "/usr/bin:/bin")}));
    const int status = sim.Wait(60'000);
    std::string verdicts;
    for (const std::string& line : sim.Lines()) verdicts += line + "\n";
    ASSERT_EQ(status, 0) << verdicts;

    // The figures, as the log and the events file have them.
    std::map<std::string, int> frames;
    std::int64_t firstUs = -1;
    std::istringstream log(ReadFile(temp / "run.log"));
    for (std::string line; std::getline(log, line);) {
        const std::size_t close = line.find(')');
        if (firstUs < 0) firstUs = Microseconds(line.substr(1, close - 1));
        ++frames[line.substr(close + 2, line.find(' ', close + 2) - close - 2)];
    }
    ASSERT_GT(frames["can0"], 0);
    ASSERT_GT(frames["can1"], 0);
    const std::string events = ReadFile(temp / "run.events");
    const std::size_t fault = events.find("\"kind\":\"fault-started\"");
    ASSERT_NE(fault, std::string::npos) << events;
    const std::size_t time = events.find("\"timeUs\":", fault) + 9;
    const std::int64_t faultUs = std::stoll(events.substr(time));

    const std::string dom = OpenPage(temp, temp / "run.html", "#open=can0:321",
                                     std::string(REPORT_SCREENSHOT_DIR) + "/report_known_run.png");
    ExpectSound(dom);
    const std::string load = TagWith(dom, "id=\"chart-load\"");
    EXPECT_EQ(Attribute(load, "data-drawn"), "1") << load;
    EXPECT_EQ(Attribute(load, "data-series"), "can0 load %|can1 load %");
    const std::string histogram = TagWith(dom, "id=\"chart-histogram\"");
    EXPECT_EQ(Attribute(histogram, "data-drawn"), "1") << histogram;
    EXPECT_EQ(Attribute(histogram, "data-series"), "can0:321 intervals");
    for (const auto& [bus, count] : frames)
        EXPECT_EQ(Attribute(TagWith(dom, "data-bus=\"" + bus + "\""), "data-frames"),
                  std::to_string(count))
            << bus;
    // vehicle_app sends 321 every 500 ms; the silence leaves a gap of about 2 s.
    const std::vector<std::string> row = Cells(dom, "data-key=\"can0:321\"");
    ASSERT_GE(row.size(), 7u);
    EXPECT_NEAR(std::stod(row[3]), 500.0, 50.0) << row[3];
    EXPECT_GT(std::stod(row[6]), 1500.0) << row[6];
    EXPECT_EQ(Attribute(TagWith(dom, "id=\"verdict\""), "data-verdict"), "PASS");
    // Every expectation's verdict is a marked event.
    std::size_t passes = 0;
    for (const std::string& line : sim.Lines()) passes += line.rfind("PASS line", 0) == 0 ? 1 : 0;
    std::size_t marked = 0;
    for (std::size_t at = 0; (at = dom.find("data-kind=\"expectation\"", at)) != std::string::npos;
         ++at)
        ++marked;
    EXPECT_GT(passes, 0u);
    EXPECT_EQ(marked, passes);
    const std::string shown = Attribute(TagWith(dom, "data-kind=\"fault-started\""), "data-time");
    ASSERT_FALSE(shown.empty());
    EXPECT_NEAR(std::stod(shown), static_cast<double>(faultUs - firstUs) / 1e6, 1e-6);
    struct stat picture {};
    EXPECT_EQ(
        ::stat((std::string(REPORT_SCREENSHOT_DIR) + "/report_known_run.png").c_str(), &picture),
        0);
    EXPECT_GT(picture.st_size, 10'000);
}

// Runs gateway-sim-report on `lines` and opens the page.
std::string ReportOf(const TempFolder& temp, const std::string& name, const std::string& lines,
                     const std::vector<std::string>& options = {},
                     const std::string& fragment = "") {
    std::ofstream(temp / (name + ".log")) << lines;
    std::vector<std::string> argv = {GATEWAY_SIM_REPORT_PATH, temp / (name + ".log"), "-o",
                                     temp / (name + ".html")};
    argv.insert(argv.end(), options.begin(), options.end());
    Process report;
    EXPECT_TRUE(report.Start(argv, {}));
    EXPECT_EQ(report.Wait(30'000), 0);
    return OpenPage(temp, temp / (name + ".html"), fragment);
}

TEST(Report, AnEmptyLogOneFrameAndAnHourOfSilence) {
    TempFolder temp;
    const std::string empty = ReportOf(temp, "empty", "");
    ExpectSound(empty);
    EXPECT_EQ(TagWith(empty, "id=\"chart-load\""), "");
    EXPECT_NE(empty.find("The log holds no frames."), std::string::npos);

    const std::string one = ReportOf(temp, "one", "(1700000000.250000) can2 18FEF100#0102\n");
    ExpectSound(one);
    EXPECT_EQ(Attribute(TagWith(one, "id=\"chart-load\""), "data-drawn"), "1");
    EXPECT_EQ(Attribute(TagWith(one, "id=\"chart-load\""), "data-series"), "can2 load %");
    EXPECT_EQ(Attribute(TagWith(one, "data-bus=\"can2\""), "data-frames"), "1");
    const std::vector<std::string> single = Cells(one, "data-key=\"can2:18FEF100\"");
    ASSERT_GE(single.size(), 4u);
    EXPECT_EQ(single[3], "-");  // no period from one frame

    const std::string gap = ReportOf(temp, "gap",
                                     "(1700000000.000000) can1 100#01\n"
                                     "(1700000000.010000) can1 100#01\n"
                                     "(1700003600.010000) can1 100#01\n"
                                     "(1700003600.020000) can1 100#01\n");
    ExpectSound(gap);
    const std::string chart = TagWith(gap, "id=\"chart-load\"");
    EXPECT_EQ(Attribute(chart, "data-drawn"), "1");
    // 36,001 bins of 100 ms, drawn as at most 2,000 pairs.
    EXPECT_LE(std::stoi(Attribute(chart, "data-points")), 4000);
    const std::vector<std::string> row = Cells(gap, "data-key=\"can1:100\"");
    ASSERT_GE(row.size(), 7u);
    EXPECT_EQ(row[2], "4");
    EXPECT_EQ(row[3], "10.000");
    EXPECT_EQ(row[6], "3600000.000");
}

TEST(Report, DecodedSignalsKeepTheirExtremes) {
    TempFolder temp;
    // EEC1's engine speed (0.125 rpm a bit, bytes 3 and 4) every 10 ms for
    // 50 s, rising from 1000 rpm, once 8000 rpm: more values than the chart
    // has columns.
    std::ostringstream log;
    for (int i = 0; i < 5000; ++i) {
        const int raw = i == 2345 ? 64000 : 8000 + i;
        char line[80];
        std::snprintf(line, sizeof line, "(%d.%02d0000) can1 0CF00400#000000%02X%02X000000\n",
                      1700000000 + i / 100, i % 100, raw & 0xFF, raw >> 8);
        log << line;
    }
    const std::string page =
        ReportOf(temp, "signals", log.str(), {"--dbc", "can1:" SIGNAL_DATABASE_PATH},
                 "#signal=can1%20EEC1.EngineSpeed");
    ExpectSound(page);
    const std::string chart = TagWith(page, "id=\"chart-signal\"");
    EXPECT_EQ(Attribute(chart, "data-drawn"), "1") << chart;
    EXPECT_EQ(Attribute(chart, "data-series"), "can1 EEC1.EngineSpeed [rpm]");
    EXPECT_LE(std::stoi(Attribute(chart, "data-points")), 4000);
    EXPECT_EQ(Attribute(chart, "data-max"), "8000");
    EXPECT_NE(page.find("can1 EEC1.ActualEnginePercentTorque"),
              std::string::npos);  // selectable too
}

}  // namespace
}  // namespace integration
