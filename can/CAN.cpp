#include "can/CAN.h"

#include <new>
#include <utility>
#include "common/Result.h"

namespace CustomApplication {
namespace Internal {

namespace {
unsigned BusBit(CoreTypes::CANBus bus) { return 1u << static_cast<unsigned>(bus); }
}  // namespace

void CAN::Reset() {
    interfaces_.Change([this](InterfaceSnapshot&) { nextInterfaceUid_ = 1; });
}

std::shared_ptr<CAN::CANInterface> CAN::InterfaceFromUid(std::int32_t uid) const {
    const InterfaceSnapshot interfaces = interfaces_.Current();
    if (!interfaces) return nullptr;
    for (const auto& candidate : *interfaces) {
        if (candidate->Uid == uid) return candidate;
    }
    return nullptr;
}

const CAN::CANInterface* CAN::OnBus(const InterfaceList* interfaces, CoreTypes::CANBus bus) {
    if (interfaces == nullptr) return nullptr;
    for (const auto& candidate : *interfaces) {
        if (candidate->Bus == bus) return candidate.get();
    }
    return nullptr;
}

bool CAN::DoesInterfaceExist(CoreTypes::CANBus bus) const {
    const InterfaceSnapshot interfaces = interfaces_.Current();
    return OnBus(interfaces.get(), bus) != nullptr;
}

bool CAN::ClaimBus(CoreTypes::CANBus bus) {
    return interfaces_.Change([&](InterfaceSnapshot& current) {
        if ((claimedBuses_ & BusBit(bus)) != 0 || OnBus(current.get(), bus) != nullptr) return false;
        claimedBuses_ |= BusBit(bus);
        return true;
    });
}

void CAN::ReleaseBus(CoreTypes::CANBus bus) {
    interfaces_.Change([&](InterfaceSnapshot&) { claimedBuses_ &= ~BusBit(bus); });
}

std::int32_t CAN::Publish(std::shared_ptr<CANInterface> created, std::shared_ptr<InterfaceList> list) {
    InterfaceSnapshot previous;
    const std::int32_t uid = interfaces_.Change([&](InterfaceSnapshot& current) {
        // At most one interface per bus: the reserved room always suffices.
        if (current) list->assign(current->begin(), current->end());
        claimedBuses_ &= ~BusBit(created->Bus);
        created->Uid = nextInterfaceUid_++;
        const std::int32_t taken = created->Uid;
        list->push_back(std::move(created));
        previous = std::exchange(current, std::move(list));
        return taken;
    });
    // `previous` is released here, outside the lock.
    return uid;
}

void CAN::Unpublish(std::int32_t uid) {
    std::shared_ptr<InterfaceList> next;
    try {
        next = std::make_shared<InterfaceList>();
        next->reserve(kBusCount);
    } catch (const std::bad_alloc&) {
        return;
    }
    InterfaceSnapshot previous;
    interfaces_.Change([&](InterfaceSnapshot& current) {
        if (!current) return;
        for (const auto& candidate : *current) {
            if (candidate->Uid != uid) next->push_back(candidate);
        }
        // The uid is given again unless a later one was handed out meanwhile.
        if (nextInterfaceUid_ == uid + 1) nextInterfaceUid_ = uid;
        previous = std::exchange(current, std::move(next));
    });
}

void CAN::RemoveReceiveAllFilter(CoreTypes::CANBus bus, CANTypes::FrameType type) {
    MutexLock guard(receiveAllLock_);
    for (auto it = receiveAllFilters_.begin(); it != receiveAllFilters_.end(); ++it) {
        if (it->Bus == bus && it->Type == type) {
            receiveAllFilters_.erase(it);
            return;
        }
    }
}

std::int32_t CAN::AddReceiveAllFilter(const ReceiveAllFilter& filter) {
    MutexLock guard(receiveAllLock_);
    for (const ReceiveAllFilter& existing : receiveAllFilters_) {
        if (existing.Bus == filter.Bus && existing.Type == filter.Type) return kAlready;
    }
    try {
        receiveAllFilters_.push_back(filter);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    return 0;
}

bool CAN::FindReceiveAllFilter(CoreTypes::CANBus bus, CANTypes::FrameType type, ReceiveAllFilter* found) const {
    MutexLock guard(receiveAllLock_);
    for (const ReceiveAllFilter& filter : receiveAllFilters_) {
        if (filter.Bus == bus && filter.Type == type && filter.Callback != nullptr) {
            *found = filter;
            return true;
        }
    }
    return false;
}

}  // namespace Internal
}  // namespace CustomApplication
