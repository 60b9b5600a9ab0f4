// One line of a log for replay: any bytes parse to an entry or a reason;
// an accepted CAN frame is valid and a J1708 frame fits the bus.
#include <cstdint>
#include <string>
#include <string_view>

#include "SimFrames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    gatewaysim::LogEntry entry;
    std::string error;
    if (!gatewaysim::ParseLogLine(std::string_view(reinterpret_cast<const char*>(data), size), &entry, &error)) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    if (entry.kind == gatewaysim::LogEntry::Kind::kCan) fuzzrig::CheckRoundTrip(entry.can);
    if (entry.kind == gatewaysim::LogEntry::Kind::kJ1708) {
        const gatewaysim::J1708Frame& f = entry.j1708;
        if (f.length > 19 || gatewaysim::J1708Checksum(f.mid, f.data, f.length) != f.checksum) __builtin_trap();
    }
    return 0;
}
