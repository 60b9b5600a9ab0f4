// Thread rule: Acquire and Release may be called from any threads at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "ManualResetEvent.h"

namespace CustomApplication {
namespace Internal {

// Lets one blocking request of a kind be in flight at a time. A caller that
// finds another request under way waits for its turn on the tick clock, at
// most the given time, and never under a lock: a caller on the listener
// thread (which the request in flight waits for) gives up after its time-out
// instead of deadlocking.
class RequestTurn {
public:
    // True once the caller holds the turn; false when `timeoutMs` passed first.
    bool Acquire(std::int32_t timeoutMs);
    // Ends the holder's turn and wakes the waiting callers.
    void Release();

private:
    bool TryTake();

    std::atomic<bool> busy_{false};
    // Set by Release; a waiter resets it only while the turn is taken, so a
    // Release that follows always leaves it set for the waiter to see.
    PlatformServices::ManualResetEvent freed_;
};

}  // namespace Internal
}  // namespace CustomApplication
