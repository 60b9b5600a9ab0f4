// Thread rule: pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Simulator.h"

namespace gatewaysim {

// The command line of the simulator program.
struct ProgramOptions {
    SimulatorOptions simulator;
    std::string controlPath;  // empty: no control socket
    std::string replayPath;   // empty: no replay at start
    std::string scriptPath;   // empty: no scenario; else run it and exit with its verdict
    std::string junitPath;    // the scenario's cases as JUnit XML; empty: none
    std::string scriptCase;   // the one case of the scenario to run; empty: all
    bool listCases = false;   // print the scenario's cases and exit
    std::string nodesPath;    // empty: no simulated nodes at start; else a file of node commands
    bool replayFast = false;
    bool prompt = true;       // read commands from standard input
    bool quiet = false;       // no report lines on standard error
    std::string socketcandHost;  // empty: the buses are not served over socketcand
    std::uint16_t socketcandPort = 0;
    std::vector<std::string> dbcs;  // --dbc "[canN:]FILE", in the order given
    std::string eventsPath;   // empty: no events file
    std::string reportPath;   // empty: no report at exit
};

enum class ParseOutcome { kRun, kHelp, kVersion, kError };

// Parses the arguments (argv[0] excluded). `environmentEndpoint` is the
// value of the endpoint environment variable (null or empty: not set); the
// option --endpoint wins over it, and it wins over the fixed path.
ParseOutcome ParseProgramOptions(const std::vector<std::string>& args, const char* environmentEndpoint,
                                 ProgramOptions* options, std::string* error);

// "BUS:ADDRESS[:NAME]", NAME as up to 16 hex digits; without it the NAME is
// the address (a low NAME: the platform's CA wins contests).
bool ParseStaticCa(const std::string& text, J1939Service::StaticCa* ca, std::string* error);

// The option list, for --help.
std::string ProgramUsage();

}  // namespace gatewaysim
