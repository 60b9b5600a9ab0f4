// Cyclic transmission, driven by the service loop.
#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

std::int64_t TarvexInterfacePrivate::CANService() {
    CyclicSchedule schedule(stopRequested);
    const CAN::InterfaceSnapshot interfaces = can.Snapshot();
    if (!interfaces) return schedule.Next();
    for (const auto& each : *interfaces) {
        for (const auto& row : each->TransmitTable) {
            if (schedule.Due(row->Period, row->LastSentTicks.load(std::memory_order_relaxed))) {
                (void)CANSendMessage(row.get(), each->Bus);
            }
        }
    }
    return schedule.Next();
}

}  // namespace CustomApplication
