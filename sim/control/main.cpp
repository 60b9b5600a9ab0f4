// gateway-sim-control: sends operator commands to a running simulator's
// control socket and prints the answers, for scripts that have no other
// client for Unix-domain sockets.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "ProductVersion.h"
#include "io/ControlClient.h"

namespace {

const char* const kUsage =
    "usage: gateway-sim-control [--timeout MS] SOCKET [COMMAND...]\n"
    "       gateway-sim-control --help | --version\n"
    "Sends each COMMAND (one argument each, e.g. 'can1 18FEF100#0102' or 'list'),\n"
    "or each line of standard input when no COMMAND is given, to the control\n"
    "socket of a running gateway-sim and prints the output. Exit status 1 when a\n"
    "command failed, 2 when the socket could not be reached.\n";

}  // namespace

int main(int argc, char** argv) {
    int timeoutMs = 5000;
    int first = 1;
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kUsage;
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "gateway-sim-control " << productversion::kText << '\n';
        return 0;
    }
    if (argc > 2 && std::strcmp(argv[1], "--timeout") == 0) {
        char* end = nullptr;
        const long value = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || value < 1 || value > 600000) {
            std::cerr << kUsage;
            return 2;
        }
        timeoutMs = static_cast<int>(value);
        first = 3;
    }
    if (first >= argc) {
        std::cerr << kUsage;
        return 2;
    }
    gatewaysim::ControlClient client;
    const int connected = client.Connect(argv[first], timeoutMs);
    if (connected != 0) {
        std::cerr << "gateway-sim-control: " << argv[first] << ": " << std::strerror(-connected) << '\n';
        return 2;
    }
    int status = 0;
    const auto run = [&](const std::string& command) {
        std::string output;
        if (client.Execute(command, &output)) {
            std::cout << output << std::flush;
        } else {
            std::cerr << "gateway-sim-control: " << command << ": " << output << '\n';
            status = 1;
        }
    };
    if (first + 1 < argc) {
        for (int i = first + 1; i < argc; ++i) run(argv[i]);
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty()) run(line);
        }
    }
    return status;
}
