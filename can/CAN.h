// Thread rule: owned by the private instance. Application threads register
// and send, the listener thread delivers received frames, the service thread
// sends cyclic rows, and Shutdown releases everything. The interface list is
// published as immutable snapshots: a reader takes a counted reference to the
// current list under a short lock and walks it without one, so a delivery or
// a send under way keeps its interface and rows alive even while CANShutdown
// empties the list. Once published, an interface changes only in its
// transmit payloads (under each row's DataLock) and LastSentTicks (atomic).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <customapp/CANTypes.h>
#include <customapp/CoreTypes.h>

#include "can/CANIPC.h"
#include "can/CANReceiveIndex.h"
#include "common/Mutex.h"

namespace CustomApplication {
namespace Internal {

// Raw CAN: at most one interface per bus, each with a receive table and a
// transmit table, plus one catch-all callback per bus and frame format.
class CAN {
public:
    // A copy of one row of the application's receive table.
    using CANReceiveTableEntry = CANReceiveRow;
    // Receive rows by identifier, ascending.
    using ReceiveTableMap = std::map<unsigned int, std::unique_ptr<CANReceiveTableEntry>>;

    // A copy of one row of the application's transmit table. Identifier,
    // Type and Period never change; the payload is guarded by DataLock.
    struct CANTransmitTableEntry {
        CANTransmitTableEntry() = default;
        CANTransmitTableEntry(const CANTransmitTableEntry&) = delete;
        CANTransmitTableEntry& operator=(const CANTransmitTableEntry&) = delete;

        const unsigned char* Data = nullptr;  // the application's pointer; not read after CANInit
        std::uint8_t Length GUARDED_BY(DataLock) = 0;  // current payload length
        std::uint32_t Identifier = 0;
        CANTypes::FrameType Type = CANTypes::Standard;
        std::int64_t Period = 0;  // ms; 0 on request only, > 0 cyclic, < 0 every service pass

        std::unique_ptr<unsigned char[]> DataCopy GUARDED_BY(DataLock);  // at least Length bytes while HasData
        bool HasData GUARDED_BY(DataLock) = false;
        Mutex DataLock;
        // Ticks of the last successful send; 0 before the first.
        std::atomic<std::int64_t> LastSentTicks{0};
    };

    // One bus's tables.
    struct CANInterface {
        std::vector<std::unique_ptr<CANTransmitTableEntry>> TransmitTable;  // in the application's order
        ReceiveTableMap ReceiveTable;
        CANReceiveIndex ReceiveIndex;  // ReceiveTable arranged for matching
        CoreTypes::CANBus Bus = CoreTypes::CANBus0;
        std::int32_t Uid = 0;
    };

    // A catch-all registration.
    struct ReceiveAllFilter {
        CoreTypes::CANBus Bus;
        CANTypes::FrameType Type;  // as the application gave it
        CANTypes::CANReceiveCallback Callback;  // never null
        void* Context;
    };

    using InterfaceList = std::vector<std::shared_ptr<CANInterface>>;
    static constexpr std::size_t kBusCount = 5;
    // A counted reference to an immutable list; null stands for an empty one.
    using InterfaceSnapshot = std::shared_ptr<const InterfaceList>;

    CAN() = default;
    CAN(const CAN&) = delete;
    CAN& operator=(const CAN&) = delete;

    // Resets the uid counter; called by Init before any worker thread runs.
    void Init();

    // The current interfaces, in order of creation.
    InterfaceSnapshot Snapshot() const;
    // The number of the current list: it changes whenever the list does.
    std::uint64_t Version() const { return InterfacesVersion.load(std::memory_order_acquire); }

    // A reader's own counted reference to the current list, taken again only
    // when the list has changed since: one thread's cache, not shared.
    class CachedSnapshot {
    public:
        // The interface on `bus` in the current list, or null. It stays alive
        // until the next call or Reset.
        const CANInterface* OnBus(const CAN& can, CoreTypes::CANBus bus) {
            if (can.Version() != Taken) Refresh(can);
            const auto index = static_cast<std::size_t>(bus);
            return index < kBusCount ? ByBus[index] : nullptr;
        }
        void Reset() {
            List.reset();
            for (auto& entry : ByBus) entry = nullptr;
            Taken = kNone;
        }

    private:
        // No list taken: versions count up from 0 and never reach it.
        static constexpr std::uint64_t kNone = ~std::uint64_t{0};
        void Refresh(const CAN& can) {
            List = can.Snapshot(&Taken);
            for (std::size_t index = 0; index < kBusCount; ++index) {
                ByBus[index] = CAN::OnBus(List.get(), static_cast<CoreTypes::CANBus>(index));
            }
        }

        InterfaceSnapshot List;
        const CANInterface* ByBus[kBusCount] = {};  // rows of List, by bus
        std::uint64_t Taken = kNone;
    };
    // The interface with `uid`, or null.
    std::shared_ptr<CANInterface> InterfaceFromUid(std::int32_t uid) const;
    // The interface on `bus` within `interfaces`, or null.
    static const CANInterface* OnBus(const InterfaceList* interfaces, CoreTypes::CANBus bus);

    // Claims `bus` for a CANInit under way. False when the bus has an
    // interface or another CANInit holds the claim.
    bool ClaimBus(CoreTypes::CANBus bus);
    // Gives up a claim after a failed CANInit.
    void ReleaseBus(CoreTypes::CANBus bus);
    // The next uid; taken only once an interface is complete.
    std::int32_t TakeUid();
    // An empty list with room for an interface on every bus, for Publish.
    // May throw std::bad_alloc.
    static std::shared_ptr<InterfaceList> NewList();
    // Publishes the current interfaces plus `created` in `list` (from
    // NewList) and ends the claim of its bus. Allocates nothing.
    void Publish(std::shared_ptr<CANInterface> created, std::shared_ptr<InterfaceList> list);
    // Empties the list and returns what it held.
    InterfaceSnapshot TakeAll();

    // Appends a catch-all registration: 0, or -114 when one for the same
    // bus and type exists.
    std::int32_t AddReceiveAllFilter(const ReceiveAllFilter& filter);
    // Copies into `*found` the first registration for `bus` and `type`.
    bool FindReceiveAllFilter(CoreTypes::CANBus bus, CANTypes::FrameType type, ReceiveAllFilter* found) const;

private:
    // Guards Interfaces (the pointer, not the list it points to), the bus
    // claims and NextInterfaceUid. Never held across a write or a callback.
    mutable Mutex InterfacesLock;
    InterfaceSnapshot Interfaces GUARDED_BY(InterfacesLock);
    std::atomic<std::uint64_t> InterfacesVersion{0};  // changed with Interfaces, under the lock
    InterfaceSnapshot Snapshot(std::uint64_t* version) const;
    unsigned ClaimedBuses GUARDED_BY(InterfacesLock) = 0;  // bit per bus of a CANInit under way
    std::int32_t NextInterfaceUid GUARDED_BY(InterfacesLock) = 1;

    // Guards ReceiveAllFilters, which only ever grows.
    mutable Mutex ReceiveAllLock;
    std::vector<ReceiveAllFilter> ReceiveAllFilters GUARDED_BY(ReceiveAllLock);
};

}  // namespace Internal
}  // namespace CustomApplication
