#include "j1939/J1939.h"

#include <new>
#include <utility>
#include "common/Result.h"

namespace CustomApplication {
namespace Internal {

J1939::J1939() : controllerApplications_(std::make_shared<const CAList>()) {}

J1939::CASnapshot J1939::ControllerApplications() const {
    MutexLock guard(listLock_);
    return controllerApplications_;
}

std::shared_ptr<J1939::J1939ControllerApplication> J1939::ControllerApplicationFromUid(std::int32_t uid) const {
    const CASnapshot list = ControllerApplications();
    for (const auto& ca : *list) {
        if (ca && ca->Uid == uid) return ca;
    }
    return nullptr;
}

std::int32_t J1939::Publish(const std::shared_ptr<J1939ControllerApplication>& ca) {
    // Creations are rare: the copy is made under the lock, so that no other
    // publication can slip in between the copy and the swap.
    MutexLock guard(listLock_);
    if (closed_.load(std::memory_order_relaxed)) return 0;
    std::shared_ptr<CAList> next;
    try {
        next = std::make_shared<CAList>(*controllerApplications_);
        next->push_back(ca);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    ca->Uid = NextCAUid++;
    controllerApplications_ = std::move(next);
    return ca->Uid;
}

J1939::CASnapshot J1939::Close() {
    auto empty = std::make_shared<const CAList>();
    MutexLock guard(listLock_);
    closed_.store(true, std::memory_order_seq_cst);
    CASnapshot previous = std::move(controllerApplications_);
    controllerApplications_ = std::move(empty);
    return previous;
}

bool J1939::BeginWrite() {
    writesInFlight_.fetch_add(1, std::memory_order_seq_cst);
    if (!closed_.load(std::memory_order_seq_cst)) return true;
    EndWrite();
    return false;
}

void J1939::EndWrite() {
    // Either Close's store is seen here, and the waiter is woken, or the
    // waiter's later read of the count sees this decrement.
    if (writesInFlight_.fetch_sub(1, std::memory_order_seq_cst) == 1 && closed_.load(std::memory_order_seq_cst)) {
        MutexLock guard(drainLock_);
        drained_.NotifyAll();
    }
}

void J1939::AwaitWrites() {
    MutexLock guard(drainLock_);
    while (writesInFlight_.load(std::memory_order_seq_cst) != 0) drained_.Wait(drainLock_);
}

bool J1939::CAListReply::Holds(CoreTypes::CANBus bus, std::uint8_t address) const {
    const PlatformCA wanted{bus, address};
    return List && std::find(List->begin(), List->end(), wanted) != List->end();
}

bool J1939::CAListReply::First(CoreTypes::CANBus bus, std::uint8_t* address) const {
    if (!List) return false;
    for (const PlatformCA& ca : *List) {
        if (ca.Bus != bus) continue;
        *address = ca.Address;
        return true;
    }
    return false;
}

void J1939::ReplacePlatformCAList(std::vector<PlatformCA> list, bool staticList) {
    MutexLock guard(platformListLock_);
    (staticList ? platformStaticCAList_ : platformCAList_).swap(list);
    // The old list is freed here, under the lock; it is short.
}

std::vector<J1939::PlatformCA> J1939::PlatformCAList(bool staticList) const {
    MutexLock guard(platformListLock_);
    return staticList ? platformStaticCAList_ : platformCAList_;
}

}  // namespace Internal
}  // namespace CustomApplication
