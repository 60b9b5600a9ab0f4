// Thread rule: each thread arms and disarms only its own failure; an
// allocation fails only on the thread that armed it.
#pragma once

namespace allocfault {

// Makes the `n`th allocation (n >= 1) through the global operator new or
// new[] on the calling thread fail: the throwing forms throw std::bad_alloc,
// the nothrow forms return null. One failure per arming; the allocations
// after it succeed again. This executable's replacement operators do it.
void Arm(long n);
// Cancels a failure not yet injected. Returns whether it was injected.
bool Disarm();

}  // namespace allocfault
