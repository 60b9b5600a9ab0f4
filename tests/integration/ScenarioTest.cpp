// Scenario files run by the simulator: the shipped examples, and the verdict
// of one that fails.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "Harness.h"

namespace integration {
namespace {

// Runs gateway-sim --script on `path`, with the example applications on
// the path; its exit code and its output lines.
int RunScript(const TempFolder& folder, const std::string& path, std::vector<std::string>* lines,
              const std::vector<std::string>& options = {}) {
    std::string programs = VEHICLE_APP_PATH;
    programs.erase(programs.rfind('/'));
    const char* inherited = std::getenv("PATH");
    Process sim;
    std::vector<std::string> argv = {GATEWAY_SIM_PATH, "--endpoint", folder / "endpoint", "--data", folder / "data",
                                     "--quiet", "--script", path};
    argv.insert(argv.end(), options.begin(), options.end());
    EXPECT_TRUE(sim.Start(argv, {"PATH=" + programs + ":" + (inherited ? inherited : "/usr/bin:/bin")}));
    const int status = sim.Wait(30'000);
    *lines = sim.Lines();
    return status;
}

// Writes `text` as a scenario in `temp` and runs it.
int RunText(const TempFolder& temp, const std::string& text, std::vector<std::string>* lines) {
    const std::string script = temp / "check.scenario";
    std::ofstream(script) << text;
    return RunScript(temp, script, lines);
}

// The verdict line of scenario line `number`, or "".
std::string LineOf(const std::vector<std::string>& lines, int number) {
    for (const std::string& line : lines) {
        const std::size_t at = line.find(" line " + std::to_string(number) + ": ");
        if (at == 4) return line;
    }
    return "";
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

// The small truck of examples/vehicle/: its nodes, and truck_gateway checked
// by signal name and by its DM1.
const std::string kTruck = std::string(EXAMPLE_SCENARIOS_DIR) + "/../vehicle/";
const std::vector<std::string> kTruckOptions = {"--dbc", kTruck + "truck.dbc", "--nodes", kTruck + "truck.nodes"};

TEST(Scenario, TheTruckExamplePasses) {
    TempFolder temp;
    std::vector<std::string> lines;
    EXPECT_EQ(RunScript(temp, kTruck + "truck.scenario", &lines, kTruckOptions), 0);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(" passed, 0 failed"), std::string::npos) << lines.back();
    for (const std::string& line : lines) EXPECT_NE(line.rfind("FAIL", 0), 0u) << line;
}

// DM1 either way: a fault expected while the gateway reports none, and no
// fault expected while it keeps one, both FAIL.
TEST(Scenario, ADtcExpectationFailsOnTheOtherDm1) {
    TempFolder temp;
    std::ofstream(temp / "dtc.scenario") << "start truck_gateway 10 120\n"
                                            "wait connected 120 5000\n"
                                            "expect dtc can1 from 80 190 0 within 1500\n"
                                            "set engine.EEC1.EngineSpeed 3100\n"
                                            "wait 500\n"
                                            "expect dtc can1 from 80 none within 1500\n";
    std::vector<std::string> lines;
    EXPECT_EQ(RunScript(temp, temp / "dtc.scenario", &lines, kTruckOptions), 1);
    EXPECT_EQ(LineOf(lines, 3).rfind("FAIL", 0), 0u) << LineOf(lines, 3);
    EXPECT_EQ(LineOf(lines, 6).rfind("FAIL", 0), 0u) << LineOf(lines, 6);
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
        "PASS line 8: expect gone 300: not connected at ",
        "3 passed, 1 failed"};
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i].rfind(expected[i], 0), 0u) << lines[i];

    std::ofstream(script) << "can2 123#01\nexpect can can2 12 within 10\n";
    EXPECT_EQ(RunScript(temp, script, &lines), 2);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("line 2: an identifier has 3 or 8 hex digits"), std::string::npos) << lines[0];
}

// The examples fail, on the line named, against copies of vehicle_app
// broken on purpose, one per kind of expectation: one that stops after 1 s,
// one that is no J1939 application, one at another address, one that never
// starts, one that forks into the background and ends at once, one that
// ends with status 3, one that prints nothing, and the two below; and copies
// of truck_gateway (examples/vehicle/) for signals and DM1.
struct BrokenCopy {
    const char* kind;  // of the expectation that fails: the test's name
    const char* scenario;
    const char* run;  // what the broken copy runs instead
    int line;         // the first FAIL line
    bool truck = false;  // of truck_gateway in examples/vehicle/, not of vehicle_app
};

class BrokenCopies : public ::testing::TestWithParam<BrokenCopy> {};

TEST_P(BrokenCopies, FailTheExampleOnTheLineNamed) {
    const BrokenCopy& broken = GetParam();
    TempFolder temp;
    const std::string program = broken.truck ? "truck_gateway" : "vehicle_app";
    std::ofstream(temp / program) << "#!/bin/sh\nreal=" << (broken.truck ? TRUCK_GATEWAY_PATH : VEHICLE_APP_PATH)
                                  << "\nplugin=" << PLUGIN_JOB_PATH
                                  << "\ndata=\"$(dirname \"$GATREL_ENDPOINT\")/data\"\n"
                                  << broken.run << "\n";
    ASSERT_EQ(::chmod((temp / program).c_str(), 0755), 0);
    const char* inherited = std::getenv("PATH");
    Process sim;
    std::vector<std::string> argv = {GATEWAY_SIM_PATH, "--endpoint", temp / "endpoint", "--data", temp / "data",
                                     "--quiet", "--script",
                                     broken.truck ? kTruck + broken.scenario
                                                  : std::string(EXAMPLE_SCENARIOS_DIR) + "/" + broken.scenario};
    if (broken.truck) argv.insert(argv.end(), kTruckOptions.begin(), kTruckOptions.end());
    ASSERT_TRUE(sim.Start(argv, {"PATH=" + temp / "" + ":" + (inherited ? inherited : "/usr/bin:/bin")}));
    EXPECT_EQ(sim.Wait(30'000), 1);
    std::string first;
    for (const std::string& line : sim.Lines()) {
        if (line.rfind("FAIL", 0) == 0 && first.empty()) first = line;
    }
    EXPECT_EQ(first.rfind("FAIL line " + std::to_string(broken.line) + ": ", 0), 0u) << first;
}

// A copy that finds an old start count in its EEPROM writes a wrong one.
constexpr const char* kStaleCount =
    "printf '\\005\\000\\000\\000' > \"$data/eeprom-$2.bin\"; truncate -s 4096 \"$data/eeprom-$2.bin\"; "
    "exec \"$real\" \"$@\"";
// Another program answers at the application's address, the application at another.
constexpr const char* kImpostor = "\"$plugin\" \"$1\" \"$2\" & exec \"$real\" \"$1\" 101";

INSTANTIATE_TEST_SUITE_P(
    Scenario, BrokenCopies,
    ::testing::Values(BrokenCopy{"period", "vehicle_app.scenario", "exec \"$real\" 1 \"$2\"", 9},
                      BrokenCopy{"j1939", "vehicle_app.scenario", "exec \"$plugin\" \"$1\" \"$2\"", 6},
                      BrokenCopy{"connected", "vehicle_app.scenario", "exec \"$real\" \"$1\" 101", 7},
                      BrokenCopy{"can", "vehicle_app.scenario", kImpostor, 10},
                      BrokenCopy{"eeprom", "vehicle_app.scenario", kStaleCount, 11},
                      BrokenCopy{"eeprom_saved", "vehicle_app_cases.scenario", kStaleCount, 11},
                      BrokenCopy{"wait_subscribed", "vehicle_app_cases.scenario", kImpostor, 8},
                      BrokenCopy{"running", "vehicle_app_cases.scenario", "\"$real\" \"$@\" & exit 0", 28},
                      BrokenCopy{"wait_connected", "vehicle_app_silent_bus.scenario", "exit 1", 5},
                      BrokenCopy{"exit", "vehicle_app_cases.scenario", "\"$real\" \"$@\"; exit 3", 29},
                      BrokenCopy{"output", "vehicle_app_cases.scenario", "exec \"$real\" \"$@\" >/dev/null 2>&1", 21},
                      // truck_gateway whose overspeed limit is below idle, and
                      // one whose limit the engine never reaches
                      BrokenCopy{"signal", "truck.scenario", "exec \"$real\" \"$1\" \"$2\" 600", 10, true},
                      BrokenCopy{"dtc", "truck.scenario", "exec \"$real\" \"$1\" \"$2\" 9000", 19, true}),
    [](const ::testing::TestParamInfo<BrokenCopy>& info) { return std::string(info.param.kind); });

// Cases give their own verdicts, in JUnit XML too; --list names them and
// --case runs one.
TEST(Scenario, CasesForCI) {
    TempFolder temp;
    const std::string script = temp / "cases.scenario";
    std::ofstream(script) << "setup\ncan1 100#01\nend\n"
                             "case good\nexpect can can1 100#01 within 500\nend\n"
                             "case bad\nexpect can can1 200 within 100\nend\n";
    Process list;
    ASSERT_TRUE(list.Start({GATEWAY_SIM_PATH, "--endpoint", temp / "endpoint", "--script", script, "--list"}, {}));
    EXPECT_EQ(list.Wait(10'000), 0);
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"good", "bad"}));

    Process sim;
    ASSERT_TRUE(sim.Start({GATEWAY_SIM_PATH, "--endpoint", temp / "endpoint", "--data", temp / "data", "--quiet",
                           "--script", script, "--junit", temp / "report.xml"},
                          {}));
    EXPECT_EQ(sim.Wait(30'000), 1);
    const std::vector<std::string> lines = sim.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "case good: PASS, 1 passed, 0 failed"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "case bad: FAIL, 0 passed, 1 failed"), lines.end());
    std::stringstream xml;
    xml << std::ifstream(temp / "report.xml").rdbuf();
    EXPECT_NE(xml.str().find("tests=\"2\" failures=\"1\""), std::string::npos) << xml.str();
    EXPECT_NE(xml.str().find("<testcase name=\"good\" classname=\"" + script + "\" time=\""), std::string::npos);
    EXPECT_NE(xml.str().find("<failure message=\"FAIL line 8: expect can can1 200 within 100: none seen"),
              std::string::npos)
        << xml.str();

    Process one;
    ASSERT_TRUE(one.Start({GATEWAY_SIM_PATH, "--endpoint", temp / "endpoint", "--data", temp / "data", "--quiet",
                           "--script", script, "--case", "good"},
                          {}));
    EXPECT_EQ(one.Wait(30'000), 0);
    EXPECT_EQ(one.Lines().back(), "1 passed, 0 failed");
}

// Behaviours that are missing must not pass: each line named below fails.
TEST(Scenario, MissingBehaviourFails) {
    TempFolder temp;
    std::vector<std::string> lines;
    EXPECT_EQ(RunText(temp,
                      // 1: the frames stop after 1 s, the window is 3 s
                      "start vehicle_app 1 100\n"
                      "wait connected 100 5000\n"
                      "expect period can0 321 500 tolerance 20% over 3000\n"
                      // 2: a remote frame is no data frame, and only #R matches it
                      "can1 7DF#R8\n"
                      "expect can can1 7DF#0000000000000000 within 300\n"
                      "can1 7DF#R8\n"
                      "expect can can1 7DF#R8 within 300\n"
                      // 3: a window starts after the wait; a command just before counts
                      "can1 123#01\n"
                      "wait 300\n"
                      "expect can can1 123 within 10\n"
                      "can1 124#01\n"
                      "expect can can1 124 within 300\n"
                      // 6: an RTS alone is no message; a whole BAM is, with its bytes
                      "can1 1CEC9080#10640015FF00EF00\n"
                      "expect j1939 can1 EF00 from 80 to 90 within 300\n"
                      "can1 18ECFF80#20090002FFCAFE00\n"
                      "can1 18EBFF80#0111223344556677\n"
                      "can1 18EBFF80#028899FFFFFFFFFF\n"
                      "expect j1939 can1 FECA from 0x80 to FF data 112233445566778899 within 500\n"
                      "expect exit vehicle_app 0 within 10000\n",
                      &lines),
              1);
    for (const int line : {3, 5, 10, 14}) EXPECT_EQ(LineOf(lines, line).rfind("FAIL", 0), 0u) << line;
    for (const int line : {7, 12, 18, 19}) EXPECT_EQ(LineOf(lines, line).rfind("PASS", 0), 0u) << LineOf(lines, line);
    EXPECT_NE(LineOf(lines, 5).find("nearest: can1 7DF#R8 at "), std::string::npos) << LineOf(lines, 5);
    EXPECT_NE(LineOf(lines, 10).find("no frame of that identifier"), std::string::npos) << LineOf(lines, 10);
    EXPECT_EQ(lines.back(), "4 passed, 4 failed");
}

// Programs that cannot start or end early are reported; quoting groups
// words; a started application gets the default signal handling, so that
// its own SIGTERM handler runs when the scenario ends.
TEST(Scenario, ApplicationsAreWatched) {
    TempFolder temp;
    const std::string app = temp / "app.sh";
    std::ofstream(app) << "#!/bin/sh\ntrap 'echo ended > \"$1\"; [ -e \"$GATREL_ENDPOINT\" ] && echo served >> \"$1\"; "
                          "exit 0' TERM\n"
                          "while :; do sleep 0.05; done\n";
    ASSERT_EQ(::chmod(app.c_str(), 0755), 0);
    std::vector<std::string> lines;
    EXPECT_EQ(RunText(temp,
                      "start ./no-such-app\n"
                      "start false\n"
                      "start sh -c \"echo 'hello there'; exit 3\"\n"
                      "expect output sh \"hello there\" within 5000\n"
                      "expect exit sh 3 within 5000\n"
                      "start ./app.sh " + temp / "ended\n" +
                      "expect running ./app.sh\n"
                      "expect exit false within 5000\n"
                      "expect exit false 0\n"
                      "start true\n"
                      "expect connected 7\n"
                      "wait 500\n",
                      &lines),
              1);
    EXPECT_EQ(LineOf(lines, 1).rfind("FAIL line 1: start ./no-such-app: cannot be started: ", 0), 0u)
        << LineOf(lines, 1);
    EXPECT_EQ(LineOf(lines, 4).rfind("PASS line 4: expect output sh \"hello there\" within 5000: \"hello there\" at ", 0),
              0u)
        << LineOf(lines, 4);
    EXPECT_EQ(LineOf(lines, 5), "PASS line 5: expect exit sh 3 within 5000: exited with status 3");
    EXPECT_EQ(LineOf(lines, 7).rfind("PASS", 0), 0u) << LineOf(lines, 7);
    EXPECT_EQ(LineOf(lines, 8), "PASS line 8: expect exit false within 5000: exited with status 1");
    EXPECT_EQ(LineOf(lines, 9), "FAIL line 9: expect exit false 0: exited with status 1");
    // At once, not after a default wait.
    const std::string connected = LineOf(lines, 11);
    ASSERT_EQ(connected.rfind("FAIL line 11: expect connected 7: not connected at ", 0), 0u) << connected;
    EXPECT_LT(std::stoi(connected.substr(connected.rfind(" at ") + 4)), 5000);
    // true ended on its own before the scenario did.
    EXPECT_EQ(LineOf(lines, 10).rfind("FAIL line 10: start true: exited with status 0 after ", 0), 0u)
        << LineOf(lines, 10);
    EXPECT_EQ(lines.back(), "4 passed, 4 failed");
    std::ifstream ended(temp / "ended");
    std::string word;
    EXPECT_TRUE(ended >> word) << "the application's SIGTERM handler did not run";
    EXPECT_EQ(word, "ended");
    EXPECT_TRUE(ended >> word && word == "served") << "the platform was gone when the application was asked to end";
}

// Every blank is a blank; every parse error is reported in one run; a run
// that cannot start creates nothing.
TEST(Scenario, FilesThatDoNotParse) {
    TempFolder temp;
    std::vector<std::string> lines;
    EXPECT_EQ(RunText(temp, "\f\n\v\n \t\f can1\t123#01 \v\nexpect\fcan can1 123 within 300\n", &lines), 0);
    EXPECT_EQ(lines.back(), "1 passed, 0 failed");

    EXPECT_EQ(RunText(temp, "wait soon\nexpect can can9 123 within 10\nstart \"unclosed\nwait 10\n", &lines), 2);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("line 1: usage: wait MS"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("line 2: a bus is can0 to can4"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("line 3: a double quote is not closed"), std::string::npos) << lines[2];

    // A signal is checked against the files of --dbc before anything runs.
    const std::string signals = "wait 10\nexpect signal can1 EEC1.EngineSpeed > 0 within 10\n"
                                "expect signal can1 EEC1.EngineSped > 0 within 10\n";
    EXPECT_EQ(RunText(temp, signals, &lines), 2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("line 2: no signal database knows EEC1.EngineSpeed"), std::string::npos) << lines[0];
    EXPECT_EQ(RunScript(temp, temp / "check.scenario", &lines, kTruckOptions), 2);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("line 3: the message EEC1 has no signal EngineSped"), std::string::npos) << lines[0];

    TempFolder fresh;
    EXPECT_EQ(RunScript(fresh, fresh / "missing.scenario", &lines), 2);
    struct stat info {};
    EXPECT_NE(::stat((fresh / "endpoint").c_str(), &info), 0);
    EXPECT_NE(::stat((fresh / "data").c_str(), &info), 0);
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
