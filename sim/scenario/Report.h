// Thread rule: pure functions over plain values; safe from any thread.
#pragma once

#include <string>
#include <vector>

namespace gatewaysim {

// One verdict as it is printed; `passed` false for a FAIL line.
struct ScenarioVerdict {
    int line = 0;
    std::string text;
    bool passed = false;
    std::string saw;
    std::string caseName;  // empty outside cases
};

// The verdict of one test case: its failures, each as its FAIL line.
struct CaseResult {
    std::string name;
    int passed = 0;
    int failed = 0;
    std::vector<std::string> failures;
    double seconds = 0;
    bool stopped = false;  // the run was stopped during the case
};

// The cases of a run as JUnit XML, for CI servers: one testsuite named
// `suite`, one testcase per case, a failure element per FAIL line.
std::string JunitXml(const std::string& suite, const std::vector<CaseResult>& cases);

}  // namespace gatewaysim
