// Cyclic transmission, driven by the service loop.
#include "can/CAN.h"
#include "common/CyclicSchedule.h"

namespace CustomApplication {
namespace Internal {

std::int64_t CAN::Service() {
    CyclicSchedule schedule(stopRequested_);
    const InterfaceSnapshot interfaces = interfaces_.Current();
    if (!interfaces) return schedule.Next();
    for (const auto& each : *interfaces) {
        for (const auto& row : each->TransmitTable) {
            schedule.Visit(*row, [&] { return WriteRow(*row, each->Bus); });
        }
    }
    return schedule.Next();
}

}  // namespace Internal
}  // namespace CustomApplication
