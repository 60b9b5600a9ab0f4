#include <sys/prctl.h>

#include "Helper.h"
#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

void* TarvexInterfacePrivate::InternalService(void* self) {
    if (self == nullptr) return nullptr;
    auto* instance = static_cast<TarvexInterfacePrivate*>(self);
    // The kernel may otherwise defer this thread's wake-ups by up to 50 us
    // to merge them with others: a cyclic row would go out that much late.
    // Real-time threads have no such slack; see SetRealTimePriority.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    instance->AwaitWorkersRecorded();
    instance->RunService();
    instance->WorkerExiting(Worker::Service);
    return nullptr;
}

std::int32_t TarvexInterfacePrivate::ServiceWait(std::int64_t j1939, std::int64_t j1708, std::int64_t can) {
    std::int32_t wait = kServiceMaxWaitMs;
    for (const std::int64_t next : {j1939, j1708, can}) {
        // Only the low 32 bits count; a negative value is ignored for the pass.
        const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(next & 0xffffffff));
        if (low >= 0 && low < wait) wait = low;
    }
    return wait;
}

void TarvexInterfacePrivate::RunService() {
    while (!stopRequested.load(std::memory_order_acquire)) {
        // One tick for the whole pass: every bus counts its next due row from
        // it, and the wait ends at that absolute tick. However long the pass
        // took, or however late this thread gets to its wait, no row goes out
        // later for it, and the intervals do not drift.
        const std::int64_t passTick = PlatformServices::Helper::GetTicks();
        const std::int64_t j1939Next = J1939Service(passTick);
        const std::int64_t j1708Next = J1708Service(passTick);
        const std::int64_t canNext = CANService(passTick);
        const std::int32_t wait = ServiceWait(j1939Next, j1708Next, canNext);
        if (wait > 0) {
            serviceWakeEvent.Reset();
            // Shutdown sets the flag before it sets the event: a Set that the
            // Reset above swallowed shows here, so the wait is never missed.
            if (stopRequested.load(std::memory_order_acquire)) break;
            serviceWakeEvent.WaitUntil(passTick + wait);
        }
    }
}

}  // namespace CustomApplication
