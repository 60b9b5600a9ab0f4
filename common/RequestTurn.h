// Thread rule: Acquire and Release may be called from any threads at once.
#pragma once

#include <cstdint>
#include <list>
#include <memory>

#include "ManualResetEvent.h"
#include "common/Mutex.h"

namespace CustomApplication {
namespace Internal {

// Lets one blocking request of a kind be in flight at a time, first come,
// first served: Release hands the turn to the caller that has waited
// longest, so a caller that asks again at once queues behind those already
// waiting. A waiting caller waits on the tick clock, at most the given time,
// and never under a lock: a caller on the listener thread (which the request
// in flight waits for) passes 0 and only tries, instead of deadlocking.
class RequestTurn {
public:
    // True once the caller holds the turn; false when `timeoutMs` passed first
    // (or no place in the queue could be allocated).
    bool Acquire(std::int32_t timeoutMs);
    // Ends the holder's turn: hands it to the longest waiting caller, if any.
    void Release();

private:
    // One waiting caller. Shared with Release, which may still set the event
    // after its caller has returned.
    struct Waiter {
        PlatformServices::ManualResetEvent handedOver;
        bool holds = false;  // guarded by the turn's lock_
    };

    Mutex lock_;
    // Taken by a caller, or handed over to a waiter: held while anyone waits.
    bool busy_ GUARDED_BY(lock_) = false;
    std::list<std::shared_ptr<Waiter>> waiting_ GUARDED_BY(lock_);
};

}  // namespace Internal
}  // namespace CustomApplication
