// gateway-sim-control: sends operator commands to a running simulator's
// control socket and prints the answers, for scripts that have no other
// client for Unix-domain sockets.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "ProductVersion.h"
#include "control/ControlClient.h"

namespace {

// Exit codes.
constexpr int kFailedCommand = 1;
constexpr int kBadUsage = 2;
constexpr int kUnreachable = 3;

constexpr const char* kSocketVariable = "GATEWAY_SIM_CONTROL";

const char* const kUsage =
    "usage: gateway-sim-control [--timeout MS] [SOCKET] [COMMAND...]\n"
    "       gateway-sim-control --help | --version\n"
    "Sends each COMMAND (one argument each, e.g. 'can1 18FEF100#0102' or 'list'),\n"
    "or each line of standard input when no COMMAND is given, to the control\n"
    "socket of a running gateway-sim and prints the output. SOCKET may be left\n"
    "out when GATEWAY_SIM_CONTROL names the socket (the first argument is then a\n"
    "command unless it is a socket). A relative FILE of 'replay FILE' is sent as\n"
    "seen from the current folder.\n"
    "  -t, --timeout MS   wait at most MS milliseconds for each answer (default 5000)\n"
    "  -h, --help         this text\n"
    "      --version      the version\n"
    "Exit status: 0 every command succeeded, 1 a command failed, 2 bad usage,\n"
    "3 the socket could not be reached or stopped answering.\n";

int BadUsage(const std::string& what) {
    std::cerr << "gateway-sim-control: " << what << " (try --help)\n";
    return kBadUsage;
}

bool IsSocket(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

std::string WorkingFolder() {
    std::vector<char> buffer(4096);
    if (::getcwd(buffer.data(), buffer.size()) == nullptr) return std::string();
    return buffer.data();
}

// Milliseconds 1 to 600000; false for anything else.
bool ParseTimeout(const std::string& text, int* timeoutMs) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > 600000) return false;
    *timeoutMs = static_cast<int>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int timeoutMs = 5000;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            // Options come before the socket and the commands.
            optionsEnded = true;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--version") {
            std::cout << "gateway-sim-control " << productversion::kText << '\n';
            return 0;
        } else if (arg == "--timeout" || arg == "-t" || arg.compare(0, 10, "--timeout=") == 0) {
            std::string value;
            if (arg.size() > 10) {
                value = arg.substr(10);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return BadUsage(arg + " needs a number of milliseconds");
            }
            if (!ParseTimeout(value, &timeoutMs))
                return BadUsage(arg.substr(0, arg.find('=')) + " takes milliseconds, 1 to 600000, not '" + value + "'");
        } else {
            return BadUsage("unknown option '" + arg + "'");
        }
    }

    std::string socket;
    std::size_t first = 0;
    const char* fromEnvironment = std::getenv(kSocketVariable);
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0' && (positional.empty() || !IsSocket(positional[0]))) {
        socket = fromEnvironment;
    } else if (!positional.empty()) {
        socket = positional[0];
        first = 1;
    } else {
        return BadUsage(std::string("no control socket given (as the first argument or in ") + kSocketVariable + ")");
    }

    gatewaysim::ControlClient client;
    const int connected = client.Connect(socket, timeoutMs);
    if (connected != 0) {
        std::cerr << "gateway-sim-control: " << socket << ": " << std::strerror(-connected) << '\n';
        return kUnreachable;
    }
    const std::string folder = WorkingFolder();
    int status = 0;
    // True while the simulator answers.
    const auto run = [&](const std::string& command) {
        std::string output;
        if (client.Execute(gatewaysim::ResolvePaths(command, folder), &output)) {
            std::cout << output << std::flush;
            return true;
        }
        if (!client.Connected()) {
            std::cerr << "gateway-sim-control: " << socket << ": " << output << '\n';
            status = kUnreachable;
            return false;
        }
        // The output before the reason, then the reason.
        const std::size_t last = output.rfind('\n');
        if (last != std::string::npos) std::cout << output.substr(0, last + 1) << std::flush;
        std::cerr << "gateway-sim-control: " << command << ": "
                  << (last == std::string::npos ? output : output.substr(last + 1)) << '\n';
        if (status == 0) status = kFailedCommand;
        return true;
    };
    if (first < positional.size()) {
        for (std::size_t i = first; i < positional.size(); ++i) {
            if (!run(positional[i])) break;
        }
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && !run(line)) break;
        }
    }
    return status;
}
