#include "can/CAN.h"

#include <new>
#include <utility>
#include "common/Result.h"

namespace CustomApplication {
namespace Internal {

namespace {
unsigned BusBit(CoreTypes::CANBus bus) { return 1u << static_cast<unsigned>(bus); }
}  // namespace

void CAN::Init() {
    MutexLock guard(InterfacesLock);
    NextInterfaceUid = 1;
}

CAN::InterfaceSnapshot CAN::Snapshot() const {
    MutexLock guard(InterfacesLock);
    return Interfaces;
}

CAN::InterfaceSnapshot CAN::Snapshot(std::uint64_t* version) const {
    MutexLock guard(InterfacesLock);
    *version = InterfacesVersion.load(std::memory_order_relaxed);
    return Interfaces;
}

std::shared_ptr<CAN::CANInterface> CAN::InterfaceFromUid(std::int32_t uid) const {
    const InterfaceSnapshot interfaces = Snapshot();
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

bool CAN::ClaimBus(CoreTypes::CANBus bus) {
    MutexLock guard(InterfacesLock);
    if ((ClaimedBuses & BusBit(bus)) != 0 || OnBus(Interfaces.get(), bus) != nullptr) return false;
    ClaimedBuses |= BusBit(bus);
    return true;
}

void CAN::ReleaseBus(CoreTypes::CANBus bus) {
    MutexLock guard(InterfacesLock);
    ClaimedBuses &= ~BusBit(bus);
}

std::int32_t CAN::TakeUid() {
    MutexLock guard(InterfacesLock);
    return NextInterfaceUid++;
}

std::shared_ptr<CAN::InterfaceList> CAN::NewList() {
    auto list = std::make_shared<InterfaceList>();
    list->reserve(kBusCount);
    return list;
}

void CAN::Publish(std::shared_ptr<CANInterface> created, std::shared_ptr<InterfaceList> list) {
    InterfaceSnapshot previous;
    {
        MutexLock guard(InterfacesLock);
        // At most one interface per bus: the reserved room always suffices.
        if (Interfaces) list->assign(Interfaces->begin(), Interfaces->end());
        ClaimedBuses &= ~BusBit(created->Bus);
        list->push_back(std::move(created));
        previous = std::exchange(Interfaces, std::move(list));
        InterfacesVersion.fetch_add(1, std::memory_order_release);
    }
    // `previous` is released here, outside the lock.
}

CAN::InterfaceSnapshot CAN::TakeAll() {
    MutexLock guard(InterfacesLock);
    InterfacesVersion.fetch_add(1, std::memory_order_release);
    return std::exchange(Interfaces, nullptr);
}

std::int32_t CAN::AddReceiveAllFilter(const ReceiveAllFilter& filter) {
    MutexLock guard(ReceiveAllLock);
    for (const ReceiveAllFilter& existing : ReceiveAllFilters) {
        if (existing.Bus == filter.Bus && existing.Type == filter.Type) return kAlready;
    }
    try {
        ReceiveAllFilters.push_back(filter);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    return 0;
}

bool CAN::FindReceiveAllFilter(CoreTypes::CANBus bus, CANTypes::FrameType type, ReceiveAllFilter* found) const {
    MutexLock guard(ReceiveAllLock);
    for (const ReceiveAllFilter& filter : ReceiveAllFilters) {
        if (filter.Bus == bus && filter.Type == type && filter.Callback != nullptr) {
            *found = filter;
            return true;
        }
    }
    return false;
}

}  // namespace Internal
}  // namespace CustomApplication
