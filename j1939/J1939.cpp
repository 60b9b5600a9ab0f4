#include "j1939/J1939.h"

#include <new>
#include <utility>
#include "common/Result.h"

namespace CustomApplication {
namespace Internal {

J1939::J1939(MessageSink& sink, const std::atomic<bool>& stopRequested)
    : sink_(sink), stopRequested_(stopRequested) {
    auto empty = std::make_shared<const CAList>();
    cas_.Change([&](CASnapshot& current) { current = std::move(empty); });
}

void J1939::Reset() {
    cas_.Change([this](const CASnapshot&) { nextCAUid_ = 1; });
}

J1939::CASnapshot J1939::ControllerApplications() const { return cas_.Current(); }

std::shared_ptr<J1939::J1939ControllerApplication> J1939::ControllerApplicationFromUid(std::int32_t uid) const {
    const CASnapshot list = ControllerApplications();
    for (const auto& ca : *list) {
        if (ca && ca->Uid == uid) return ca;
    }
    return nullptr;
}

std::int32_t J1939::Publish(const std::shared_ptr<J1939ControllerApplication>& ca) {
    // Creations are rare: the copy is made within the change, so that no
    // other publication can slip in between the copy and the swap.
    CASnapshot previous;
    const std::int32_t uid = cas_.Change([&](CASnapshot& current) -> std::int32_t {
        if (closed_.load(std::memory_order_relaxed)) return 0;
        std::shared_ptr<CAList> next;
        try {
            next = std::make_shared<CAList>(*current);
            next->push_back(ca);
        } catch (const std::bad_alloc&) {
            return kOutOfMemory;
        }
        ca->Uid = nextCAUid_++;
        previous = std::exchange(current, std::move(next));
        return ca->Uid;
    });
    return uid;  // the replaced list is released here, outside the lock
}

void J1939::Unpublish(const J1939ControllerApplication* ca) {
    std::shared_ptr<CAList> next;
    try {
        next = std::make_shared<CAList>();
    } catch (const std::bad_alloc&) {
        return;
    }
    CASnapshot previous;
    cas_.Change([&](CASnapshot& current) {
        for (const auto& candidate : *current) {
            if (candidate.get() != ca) next->push_back(candidate);
        }
        // The uid is given again unless a later one was handed out meanwhile.
        if (nextCAUid_ == ca->Uid + 1) nextCAUid_ = ca->Uid;
        previous = std::exchange(current, std::move(next));
    });
}

J1939::CASnapshot J1939::Close() {
    auto empty = std::make_shared<const CAList>();
    return cas_.Change([&](CASnapshot& current) {
        closed_.store(true, std::memory_order_seq_cst);
        return std::exchange(current, std::move(empty));
    });
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

void J1939::MarkLost(const CAList& list, const std::vector<PlatformCA>& present,
                     const J1939ControllerApplication* only) {
    for (const auto& ca : list) {
        if (!ca || ca->Attached || (only != nullptr && ca.get() != only)) continue;
        if (std::find(present.begin(), present.end(), PlatformCA{ca->Bus, ca->Address}) == present.end() &&
            !ca->Lost.exchange(true, std::memory_order_acq_rel)) {
            addressChanges_.fetch_add(1, std::memory_order_acq_rel);
        }
    }
}

void J1939::MarkRegained(const CAList& list, const std::vector<PlatformCA>& present) {
    for (const auto& ca : list) {
        if (!ca || ca->Attached || !ca->Lost.load(std::memory_order_acquire)) continue;
        if (std::find(present.begin(), present.end(), PlatformCA{ca->Bus, ca->Address}) != present.end() &&
            ca->Lost.exchange(false, std::memory_order_acq_rel)) {
            addressChanges_.fetch_add(1, std::memory_order_acq_rel);
        }
    }
}

std::int32_t J1939::SenderState(CoreTypes::CANBus bus, unsigned char address) const {
    std::int32_t state = kNoInterface;
    if (Restoring()) return kNotConnected;
    const CASnapshot list = ControllerApplications();
    for (const auto& ca : *list) {
        if (!ca || ca->Bus != bus || ca->Address != address) continue;
        if (!ca->Lost.load(std::memory_order_acquire)) return 0;
        state = kAddressLost;
    }
    return state;
}

std::vector<J1939::PlatformCA> J1939::PlatformCAList(bool staticList) const {
    MutexLock guard(platformListLock_);
    return staticList ? platformStaticCAList_ : platformCAList_;
}

}  // namespace Internal
}  // namespace CustomApplication
