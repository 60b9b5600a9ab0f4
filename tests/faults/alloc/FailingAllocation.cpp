// The executable's global operator new and delete: plain malloc and free,
// except for the one allocation that the calling thread armed to fail. The
// over-aligned forms are left to the runtime, with their own deletes.
#include "FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace allocfault {

namespace {
// Allocations left before the failing one: 0 when disarmed. Plain values, so
// reading them inside operator new allocates nothing.
thread_local long countdown = 0;
thread_local bool injected = false;

// True when this allocation is the one to fail.
bool FailsNow() {
    if (countdown == 0) return false;
    if (--countdown != 0) return false;
    injected = true;
    return true;
}

void* Allocate(std::size_t size) noexcept { return std::malloc(size == 0 ? 1 : size); }
}  // namespace

void Arm(long n) {
    countdown = n > 0 ? n : 0;
    injected = false;
}

bool Disarm() {
    countdown = 0;
    return injected;
}

}  // namespace allocfault

void* operator new(std::size_t size) {
    void* block = allocfault::FailsNow() ? nullptr : allocfault::Allocate(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* operator new[](std::size_t size) { return operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocfault::FailsNow() ? nullptr : allocfault::Allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
