// Cyclic transmission, driven by the service loop.
#include "can/CAN.h"
#include "Helper.h"
#include "common/CyclicSchedule.h"

namespace CustomApplication {
namespace Internal {

std::int64_t CAN::Service() { return Service(PlatformServices::Helper::GetTicks()); }

std::int64_t CAN::Service(std::int64_t passTick) {
    CyclicSchedule schedule(stopRequested_, passTick, sink_);
    const InterfaceSnapshot interfaces = interfaces_.Current();
    if (!interfaces) return schedule.Next();
    for (const auto& each : *interfaces) {
        for (const auto& row : each->TransmitTable) {
            schedule.Visit(*row, [&](MessageSink& sink) { return WriteRow(*row, each->Bus, sink); });
        }
    }
    return schedule.Finish();
}

}  // namespace Internal
}  // namespace CustomApplication
