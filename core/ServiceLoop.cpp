#include "Helper.h"
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

std::int32_t TarvexInterfacePrivate::ServiceWait(std::int64_t j1939, std::int64_t j1708, std::int64_t can,
                                                 std::int64_t elapsedMs) {
    std::int32_t wait = kServiceMaxWaitMs;
    for (const std::int64_t next : {j1939, j1708, can}) {
        // Only the low 32 bits count; a negative value is ignored for the pass.
        const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(next & 0xffffffff));
        if (low >= 0 && low < wait) wait = low;
    }
    // Each service counted from a tick it read during the pass; the wait
    // begins later. Ticks that passed since the pass began are taken off, so
    // a pass that runs into the next tick does not wake a tick after a row's
    // due time (the row would go out a millisecond late and its next
    // interval be a millisecond short). At worst the loop wakes a tick early
    // and finds the row not yet due.
    if (elapsedMs > 0) wait = elapsedMs >= wait ? 0 : wait - static_cast<std::int32_t>(elapsedMs);
    return wait;
}

void TarvexInterfacePrivate::RunService() {
    while (!stopRequested.load(std::memory_order_acquire)) {
        const std::int64_t passStart = PlatformServices::Helper::GetTicks();
        const std::int64_t j1939Next = J1939Service();
        const std::int64_t j1708Next = J1708Service();
        const std::int64_t canNext = CANService();
        const std::int32_t wait =
            ServiceWait(j1939Next, j1708Next, canNext, PlatformServices::Helper::GetTicks() - passStart);
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
