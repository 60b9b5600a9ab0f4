#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

void* TarvexInterfacePrivate::InternalService(void* self) {
    if (self == nullptr) return nullptr;
    auto* instance = static_cast<TarvexInterfacePrivate*>(self);
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
        const std::int64_t j1939Next = J1939Service();
        const std::int64_t j1708Next = J1708Service();
        const std::int64_t canNext = CANService();
        const std::int32_t wait = ServiceWait(j1939Next, j1708Next, canNext);
        if (wait > 0) {
            serviceWakeEvent.Reset();
            // Shutdown sets the flag before it sets the event: a Set that the
            // Reset above swallowed shows here, so the wait is never missed.
            if (stopRequested.load(std::memory_order_acquire)) break;
            serviceWakeEvent.WaitOne(wait);
        }
    }
}

}  // namespace CustomApplication
