#include "common/RequestTurn.h"

#include <algorithm>
#include <new>

#include "Helper.h"

namespace CustomApplication {
namespace Internal {

bool RequestTurn::Acquire(std::int32_t timeoutMs) {
    std::shared_ptr<Waiter> self;
    {
        MutexLock guard(lock_);
        if (!busy_) {
            busy_ = true;
            return true;
        }
        if (timeoutMs <= 0) return false;
        try {
            self = std::make_shared<Waiter>();
            waiting_.push_back(self);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    const std::int64_t deadline = PlatformServices::Helper::GetTicks() + timeoutMs;
    for (;;) {
        const std::int64_t remaining = deadline - PlatformServices::Helper::GetTicks();
        if (remaining > 0) self->handedOver.WaitOne(static_cast<std::int32_t>(remaining));
        MutexLock guard(lock_);
        if (self->holds) return true;
        if (deadline - PlatformServices::Helper::GetTicks() <= 0) {
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), self));
            return false;
        }
    }
}

void RequestTurn::Release() {
    std::shared_ptr<Waiter> next;
    {
        MutexLock guard(lock_);
        if (waiting_.empty()) {
            busy_ = false;
            return;
        }
        next = std::move(waiting_.front());
        waiting_.pop_front();
        next->holds = true;
    }
    next->handedOver.Set();
}

}  // namespace Internal
}  // namespace CustomApplication
