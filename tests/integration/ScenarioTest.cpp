// Scenario files run by the simulator: the shipped examples, and the verdict
// of one that fails.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <fstream>

#include "Harness.h"

namespace integration {
namespace {

// Runs gateway-sim --script on `path`, with the example applications on
// the path; its exit code and its output lines.
int RunScript(const TempFolder& folder, const std::string& path, std::vector<std::string>* lines) {
    std::string programs = VEHICLE_APP_PATH;
    programs.erase(programs.rfind('/'));
    const char* inherited = std::getenv("PATH");
    Process sim;
    EXPECT_TRUE(sim.Start({GATEWAY_SIM_PATH, "--endpoint", folder / "endpoint", "--data", folder / "data", "--quiet",
                           "--script", path},
                          {"PATH=" + programs + ":" + (inherited ? inherited : "/usr/bin:/bin")}));
    const int status = sim.Wait(30'000);
    *lines = sim.Lines();
    return status;
}

TEST(Scenario, TheExamplesPass) {
    DIR* folder = ::opendir(EXAMPLE_SCENARIOS_DIR);
    ASSERT_NE(folder, nullptr);
    std::vector<std::string> files;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.size() > 9 && name.compare(name.size() - 9, 9, ".scenario") == 0) files.push_back(name);
    }
    ::closedir(folder);
    ASSERT_GE(files.size(), 2u);
    for (const std::string& name : files) {
        TempFolder temp;
        std::vector<std::string> lines;
        EXPECT_EQ(RunScript(temp, std::string(EXAMPLE_SCENARIOS_DIR) + "/" + name, &lines), 0) << name;
        ASSERT_FALSE(lines.empty()) << name;
        EXPECT_NE(lines.back().find(" passed, 0 failed"), std::string::npos) << name << ": " << lines.back();
        for (const std::string& line : lines) EXPECT_NE(line.rfind("FAIL", 0), 0u) << name << ": " << line;
    }
}

TEST(Scenario, AFailedExpectationFailsTheRunAndAWrongFileRunsNothing) {
    TempFolder temp;
    const std::string script = temp / "check.scenario";
    std::ofstream(script) << "# a frame that comes, one that does not, and one that must not\n"
                             "can2 18FEF1AA#0102030405\n"
                             "expect can can2 18FExxAA#01..03* within 1000\n"
                             "expect can can2 123 within 200\n"
                             "can2 7FF#\n"
                             "wait 50\n"  // its time on the wire
                             "expect no can can2 7FF for 200\n"
                             "expect gone 300\n";
    std::vector<std::string> lines;
    EXPECT_EQ(RunScript(temp, script, &lines), 1);
    const std::vector<std::string> expected = {
        "PASS line 3: expect can can2 18FExxAA#01..03* within 1000: 1 seen, the first can2 18FEF1AA#0102030405 at ",
        "FAIL line 4: expect can can2 123 within 200: none seen",
        "PASS line 7: expect no can can2 7FF for 200: none seen",
        "PASS line 8: expect gone 300: not connected after ",
        "3 passed, 1 failed"};
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i].rfind(expected[i], 0), 0u) << lines[i];

    std::ofstream(script) << "can2 123#01\nexpect can can2 12 within 10\n";
    EXPECT_EQ(RunScript(temp, script, &lines), 2);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("line 2: an identifier has 3 or 8 hex digits"), std::string::npos) << lines[0];
}

TEST(Scenario, ASignalEndsTheRunAtOnce) {
    TempFolder temp;
    const std::string script = temp / "long.scenario";
    std::ofstream(script) << "can2 123#01\nexpect can can2 123 within 1000\nwait 60000\nexpect gone 300\n";
    Process sim;
    ASSERT_TRUE(sim.Start({GATEWAY_SIM_PATH, "--endpoint", temp / "endpoint", "--data", temp / "data", "--quiet",
                           "--script", script},
                          {}));
    ASSERT_FALSE(sim.AwaitLine([](const std::string& line) { return line.rfind("PASS line 2", 0) == 0; }).empty());
    sim.Kill(SIGTERM);
    EXPECT_EQ(sim.Wait(5'000), 3);
    const std::vector<std::string> lines = sim.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "stopped at line 3: 1 passed, 0 failed");
}

}  // namespace
}  // namespace integration
