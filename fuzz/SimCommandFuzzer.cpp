// The simulator's operator command line (prompt and control socket): any
// bytes parse to a command or to a reason, and frames it accepts are valid.
#include <cstdint>
#include <string>
#include <string_view>

#include "control/CommandParser.h"
#include "SimFrames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    gatewaysim::Command command;
    std::string error;
    if (!gatewaysim::ParseCommand(std::string_view(reinterpret_cast<const char*>(data), size), &command, &error)) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    if (command.kind == gatewaysim::Command::Kind::kCan) fuzzrig::CheckRoundTrip(command.can);
    if (command.kind == gatewaysim::Command::Kind::kJ1708 && command.j1708.length > 19) __builtin_trap();
    return 0;
}
