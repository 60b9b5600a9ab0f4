#include "common/RequestTurn.h"

#include "Helper.h"

namespace CustomApplication {
namespace Internal {

bool RequestTurn::TryTake() {
    bool expected = false;
    return busy_.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
}

bool RequestTurn::Acquire(std::int32_t timeoutMs) {
    if (TryTake()) return true;
    const std::int64_t deadline = PlatformServices::Helper::GetTicks() + timeoutMs;
    for (;;) {
        // Reset, then look again: a Release after the Reset sets the event,
        // and one before it has freed the turn for the second look.
        freed_.Reset();
        if (TryTake()) return true;
        const std::int64_t remaining = deadline - PlatformServices::Helper::GetTicks();
        if (remaining <= 0) return false;
        freed_.WaitOne(static_cast<std::int32_t>(remaining));
        if (TryTake()) return true;
    }
}

void RequestTurn::Release() {
    busy_.store(false, std::memory_order_release);
    freed_.Set();
}

}  // namespace Internal
}  // namespace CustomApplication
