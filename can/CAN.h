// Thread rule: owned by the private instance. Application threads register
// and send, the listener thread delivers received frames, the service thread
// sends cyclic rows, and Shutdown releases everything. The interface list is
// a copy-on-write snapshot: a reader takes a counted reference to the
// current list and walks it without a lock, so a delivery or a send under
// way keeps its interface and rows alive even while Shutdown empties the
// list. Once published, an interface changes only in its transmit payloads
// (under each row's DataLock) and LastSentTicks (atomic). No lock is held
// across a write to the sink or a callback.
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

#include "QRVMessage.h"
#include "can/CANIPC.h"
#include "can/CANReceiveIndex.h"
#include "common/MessageSink.h"
#include "common/Mutex.h"
#include "common/TableSnapshot.h"

namespace CustomApplication {
namespace Internal {

// Raw CAN: at most one interface per bus, each with a receive table and a
// transmit table, plus one catch-all callback per bus and frame format. It
// sends its requests and frames (category 10) through the sink it was built
// with, and starts no callback and no cyclic send once a stop is requested.
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

        const unsigned char* Data = nullptr;  // the application's pointer; not read after Create
        std::uint8_t Length GUARDED_BY(DataLock) = 0;  // current payload length
        std::uint32_t Identifier = 0;
        CANTypes::FrameType Type = CANTypes::Standard;
        std::int64_t Period = 0;  // ms; 0 on request only, > 0 cyclic, < 0 every service pass

        std::unique_ptr<unsigned char[]> DataCopy GUARDED_BY(DataLock);  // at least Length bytes while HasData
        bool HasData GUARDED_BY(DataLock) = false;
        Mutex DataLock;
        // Start of the row's current cycle (see CyclicSchedule.h): the tick
        // of its last send on request, or when its last cyclic send was due;
        // 0 before the first.
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
    using InterfaceSnapshot = TableSnapshot<InterfaceList>::Handle;

    // `sink` carries every request and outlives this object, as does
    // `stopRequested`, which is set once Shutdown has begun.
    CAN(MessageSink& sink, const std::atomic<bool>& stopRequested) : sink_(sink), stopRequested_(stopRequested) {}
    CAN(const CAN&) = delete;
    CAN& operator=(const CAN&) = delete;

    // Resets the uid counter; called by the library's Init before any worker
    // thread runs.
    void Reset();

    // The operations; see the facade for their results. Create copies the
    // tables into a new interface on `bus`, subscribes its receive rows and
    // returns its uid.
    std::int32_t Create(CoreTypes::CANBus bus, const CANTypes::CANReceiveTableEntry* receiveTable,
                        std::int32_t receiveCount, const CANTypes::CANTransmitTableEntry* transmitTable,
                        std::int32_t transmitCount);
    bool DoesInterfaceExist(CoreTypes::CANBus bus) const;
    // Sends row `index` of interface `uid`: 0, or -2 when there is no such row.
    std::int32_t SendMessage(std::int32_t uid, std::int32_t index);
    // Sends one row on `bus` and, once it is written, restarts its cycle:
    // the write's result, or -22 for a null row.
    std::int32_t SendMessage(CANTransmitTableEntry* row, CoreTypes::CANBus bus);
    // Writes one frame (command 4): the write's result; -22 for a null
    // message, a bus outside 0 to 4 or an identifier wider than its format
    // (11 or 29 bits); -7 for a Length above 8. Nothing is sent when refused.
    std::int32_t SendMessage(const CANTypes::CANMessage* message);
    std::int32_t UpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                   unsigned char length);
    std::int32_t RegisterReceiveAllMessages(CoreTypes::CANBus bus, CANTypes::FrameType type,
                                            CANTypes::CANReceiveCallback callback, void* context);
    // Adds (or withdraws) one platform subscription per row of `table`: 0,
    // or the first failed write's result (adding stops at a message the
    // platform did not take). `*sent`, when given, counts the rows before
    // the one it stopped at.
    int LinkReceiveTableToPlatform(const ReceiveTableMap* table, std::uint8_t ipcBus, bool subscribe,
                                   std::size_t* sent = nullptr);

    // The listener thread's entry: delivers the received frames (command 1)
    // among `children`; other children and records of the wrong size are
    // dropped. Only one thread at a time (the listener's view is its own).
    void HandleMessages(const PlatformServices::QRVMessage::ChildList& children);
    // Lets go of the listener's view of the interfaces (as the listener ends).
    void ResetListenerView() { listenerView_.Reset(); }
    // Delivers one received frame record to the matching rows, or else to
    // the catch-all registration of its bus and format. Any thread.
    void Receive(const PlatformServices::CANIPC::Message* record);

    // Sends every subscription of this instance again (the receive rows of
    // each interface, and one per bus with a catch-all), for a connection
    // made anew after the platform lost the old one. Nothing once a stop is
    // requested. Called by the listener thread. 0, or the first failed
    // write's result (nothing more is sent then).
    [[nodiscard]] int Replay();

    // One pass of the service thread begun at tick `passTick`: sends the
    // cyclic rows that are due and returns the milliseconds from `passTick`
    // to the next one, or kNothingScheduled. Without a tick: the tick now.
    std::int64_t Service(std::int64_t passTick);
    std::int64_t Service();
    // Withdraws every subscription and releases the interfaces.
    void Shutdown();

    // The interface with `uid`, or null.
    std::shared_ptr<CANInterface> InterfaceFromUid(std::int32_t uid) const;

    // Whether `identifier` fits a frame of `type` (29 bits for Extended, 11
    // for any other type, which goes out as a standard frame).
    static bool IdentifierFits(std::uint32_t identifier, CANTypes::FrameType type) {
        return identifier <= (type == CANTypes::Extended ? 0x1FFFFFFFu : 0x7FFu);
    }

private:
    // Writes one row on `bus` through `sink` without touching its cycle.
    std::int32_t WriteRow(CANTransmitTableEntry& row, CoreTypes::CANBus bus, MessageSink& sink);
    // SendMessage(message) through `sink`.
    std::int32_t WriteMessage(const CANTypes::CANMessage* message, MessageSink& sink);
    // The interface on `bus` within `interfaces`, or null.
    static const CANInterface* OnBus(const InterfaceList* interfaces, CoreTypes::CANBus bus);

    // A reader's own counted reference to the current list, taken again only
    // when the list has changed since: one thread's cache, not shared.
    class CachedSnapshot {
    public:
        // The interface on `bus` in the current list, or null. It stays alive
        // until the next call or Reset.
        const CANInterface* OnBus(const TableSnapshot<InterfaceList>& interfaces, CoreTypes::CANBus bus) {
            if (interfaces.Version() != Taken) Refresh(interfaces);
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
        void Refresh(const TableSnapshot<InterfaceList>& interfaces) {
            List = interfaces.Current(&Taken);
            for (std::size_t index = 0; index < kBusCount; ++index) {
                ByBus[index] = CAN::OnBus(List.get(), static_cast<CoreTypes::CANBus>(index));
            }
        }

        InterfaceSnapshot List;
        const CANInterface* ByBus[kBusCount] = {};  // rows of List, by bus
        std::uint64_t Taken = kNone;
    };

    // The same as Receive with the record's bus translated and the interface
    // on that bus (or null), which stays alive throughout.
    void Deliver(const PlatformServices::CANIPC::Message* record, CoreTypes::CANBus bus, const CANInterface* target);
    bool Stopping() const { return stopRequested_.load(std::memory_order_acquire); }

    // Claims `bus` for a Create under way. False when the bus has an
    // interface or another Create holds the claim.
    bool ClaimBus(CoreTypes::CANBus bus);
    // Gives up a claim after a failed Create.
    void ReleaseBus(CoreTypes::CANBus bus);
    // Takes the interface `uid` out of the list again (a Create that failed
    // after its publication).
    void Unpublish(std::int32_t uid);
    // Publishes the current interfaces plus `created` in `list` (an empty
    // list with room for every bus), ends the claim of its bus and hands out
    // its uid. Allocates nothing.
    std::int32_t Publish(std::shared_ptr<CANInterface> created, std::shared_ptr<InterfaceList> list);
    // Appends a catch-all registration: 0, or -114 when one for the same
    // bus and type exists.
    std::int32_t AddReceiveAllFilter(const ReceiveAllFilter& filter);
    // Removes the catch-all registration for `bus` and `type` again.
    void RemoveReceiveAllFilter(CoreTypes::CANBus bus, CANTypes::FrameType type);
    // Copies into `*found` the first registration for `bus` and `type`.
    bool FindReceiveAllFilter(CoreTypes::CANBus bus, CANTypes::FrameType type, ReceiveAllFilter* found) const;

    MessageSink& sink_;
    const std::atomic<bool>& stopRequested_;

    TableSnapshot<InterfaceList> interfaces_;
    // Changed only within interfaces_.Change, so they move with the list.
    unsigned claimedBuses_ = 0;  // bit per bus of a Create under way
    std::int32_t nextInterfaceUid_ = 1;
    // The interfaces as HandleMessages last saw them: the listener's own.
    CachedSnapshot listenerView_;

    // Guards receiveAllFilters_, which grows but for a registration the
    // platform did not take.
    mutable Mutex receiveAllLock_;
    std::vector<ReceiveAllFilter> receiveAllFilters_ GUARDED_BY(receiveAllLock_);
};

}  // namespace Internal
}  // namespace CustomApplication
