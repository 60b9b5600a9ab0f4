// Cyclic transmission, driven by the service loop.
#include <algorithm>

#include "Helper.h"
#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

namespace {
// A row goes out once less than this many milliseconds of its period remain.
constexpr std::int64_t kEarlySendMs = 3;
}  // namespace

std::int64_t TarvexInterfacePrivate::CANService() {
    std::int64_t next = kNothingScheduled;
    const CAN::InterfaceSnapshot interfaces = can.Snapshot();
    if (!interfaces) return next;
    for (const auto& each : *interfaces) {
        for (const auto& row : each->TransmitTable) {
            const std::int64_t period = row->Period;
            if (period == 0) continue;
            if (stopRequested.load(std::memory_order_acquire)) return next;
            if (period < 0) {
                // Sent on every pass; takes no part in the wait.
                (void)CANSendMessage(row.get(), each->Bus);
                continue;
            }
            const std::int64_t now = PlatformServices::Helper::GetTicks();
            // Another thread may have sent the row since `now` was read:
            // count that as sent just now.
            const std::int64_t elapsed =
                std::max<std::int64_t>(0, now - row->LastSentTicks.load(std::memory_order_relaxed));
            const std::int64_t remaining = elapsed >= period ? 0 : period - elapsed;
            if (remaining < kEarlySendMs) {
                (void)CANSendMessage(row.get(), each->Bus);
                // The row's next send is a full period from now.
                next = std::min(next, period);
            } else {
                next = std::min(next, remaining);
            }
        }
    }
    return next;
}

}  // namespace CustomApplication
