// Setting up and tearing down the CAN interfaces, and their subscriptions.
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "can/CAN.h"
#include "common/BusMapping.h"
#include "common/Result.h"
#include "common/TransmitRow.h"

namespace CustomApplication {
namespace Internal {

namespace {

constexpr std::int32_t kMaxPayload = 8;

// Copies the application's tables into `created`, receive table first. The
// first failure decides the result; what was copied stays in `created` for
// the caller to drop.
std::int32_t CopyTables(CAN::CANInterface& created, const CANTypes::CANReceiveTableEntry* receiveTable,
                        std::int32_t receiveCount, const CANTypes::CANTransmitTableEntry* transmitTable,
                        std::int32_t transmitCount) {
    for (std::int32_t i = 0; i < receiveCount; ++i) {
        const CANTypes::CANReceiveTableEntry& given = receiveTable[i];
        auto row = std::unique_ptr<CAN::CANReceiveTableEntry>(new (std::nothrow) CAN::CANReceiveTableEntry{
            given.Identifier, given.Mask, given.Type, given.Callback, given.Context});
        if (!row) return kOutOfMemory;
        if (created.ReceiveTable.count(given.Identifier) != 0) return kAlready;
        created.ReceiveTable.emplace(given.Identifier, std::move(row));
    }
    for (std::int32_t j = 0; j < transmitCount; ++j) {
        const CANTypes::CANTransmitTableEntry& given = transmitTable[j];
        if (given.Length > kMaxPayload) return kTooLong;
        if (given.Length > 0 && given.Data == nullptr) return kInvalidArgument;
        if (!CAN::IdentifierFits(given.Identifier, given.Type)) return kInvalidArgument;
        auto row = std::unique_ptr<CAN::CANTransmitTableEntry>(new (std::nothrow) CAN::CANTransmitTableEntry());
        if (!row) return kOutOfMemory;
        row->Data = given.Data;
        row->Identifier = given.Identifier;
        row->Type = given.Type;
        row->Period = given.Period;
        if (!SetFirstPayload(*row, given.Data, given.Length)) return kOutOfMemory;
        created.TransmitTable.push_back(std::move(row));
    }
    return 0;
}

}  // namespace

std::int32_t CAN::Create(CoreTypes::CANBus bus, const CANTypes::CANReceiveTableEntry* receiveTable,
                        std::int32_t receiveCount, const CANTypes::CANTransmitTableEntry* transmitTable,
                        std::int32_t transmitCount) {
    if (receiveTable == nullptr || transmitTable == nullptr) return kInvalidArgument;
    if (!IsBus(bus)) return kInvalidArgument;
    // Held until the subscriptions went out: a restore of the connection
    // sends them again only if it comes after.
    const RegistrationScope registration(sink_);
    if (!registration.Held()) return kPlatformBusy;
    // The claim makes the existence test and the final append one step
    // against any other Create for this bus.
    if (!ClaimBus(bus)) return kExists;

    std::shared_ptr<CANInterface> created;
    std::shared_ptr<InterfaceList> list;
    std::int32_t result = 0;
    try {
        created = std::make_shared<CANInterface>();
        result = CopyTables(*created, receiveTable, receiveCount, transmitTable, transmitCount);
        if (result == 0) {
            std::vector<CANReceiveTableEntry> rows;
            rows.reserve(created->ReceiveTable.size());
            for (const auto& entry : created->ReceiveTable) rows.push_back(*entry.second);
            created->ReceiveIndex.Build(rows);
            list = std::make_shared<InterfaceList>();
            list->reserve(kBusCount);
        }
    } catch (const std::bad_alloc&) {
        result = kOutOfMemory;
    }
    if (result != 0) {
        created.reset();
        ReleaseBus(bus);
        return result;
    }

    // The interface is complete: from here on the call succeeds unless the
    // platform does not take its subscriptions.
    created->Bus = bus;
    // The interface is in place before its subscriptions go out, so a frame
    // the platform forwards at once finds its rows instead of being dropped.
    const std::shared_ptr<const CANInterface> published = created;
    const std::int32_t uid = Publish(std::move(created), std::move(list));
    std::size_t sent = 0;
    const int linked = LinkReceiveTableToPlatform(&published->ReceiveTable, ToIPCBus(bus), true, &sent);
    // A lost connection is no failure: the interface is sent again with the
    // rest once the connection is made anew.
    if (!NotTaken(linked)) return uid;
    // The platform did not take a subscription: the call fails and leaves
    // nothing behind, neither here nor at the platform.
    Unpublish(uid);
    std::size_t withdrawn = 0;
    for (const auto& entry : published->ReceiveTable) {
        if (withdrawn++ == sent) break;
        PlatformServices::CANIPC::AddSubscriptionData data{};
        data.Bus = ToIPCBus(bus);
        data.Identifier = entry.second->Identifier;
        data.Mask = entry.second->Mask;
        const int removed = PlatformServices::CANIPC::RemoveSubscription(&data, sink_);
        if (NotTaken(removed)) {
            // The platform may keep what it could not be told to drop: a new
            // connection starts it from what is registered.
            sink_.Resynchronise();
            break;
        }
    }
    return linked;
}

int CAN::LinkReceiveTableToPlatform(const ReceiveTableMap* table, std::uint8_t ipcBus, bool subscribe,
                                    std::size_t* sent) {
    if (table == nullptr) return 0;
    int first = 0;
    for (const auto& entry : *table) {
        PlatformServices::CANIPC::AddSubscriptionData data{};
        data.Bus = ipcBus;
        data.Identifier = entry.second->Identifier;
        data.Mask = entry.second->Mask;
        const int written = subscribe ? PlatformServices::CANIPC::AddSubscription(&data, sink_)
                                      : PlatformServices::CANIPC::RemoveSubscription(&data, sink_);
        if (written != 0 && first == 0) first = written;
        // A subscription stops where the platform did not take one (the
        // rest would not be taken either); otherwise every row is tried.
        if (subscribe && NotTaken(written)) return written;
        if (sent != nullptr) ++*sent;
    }
    return first;
}

int CAN::Replay() {
    if (Stopping()) return 0;
    const InterfaceSnapshot list = interfaces_.Current();
    if (!list) return 0;
    unsigned catchAllBuses = 0;  // bit per bus
    {
        MutexLock guard(receiveAllLock_);
        for (const ReceiveAllFilter& filter : receiveAllFilters_) catchAllBuses |= 1u << filter.Bus;
    }
    for (const auto& created : *list) {
        const int linked = LinkReceiveTableToPlatform(&created->ReceiveTable, ToIPCBus(created->Bus), true);
        if (linked != 0) return linked;
        if ((catchAllBuses & (1u << created->Bus)) == 0) continue;
        PlatformServices::CANIPC::AddSubscriptionData everything{};
        everything.Bus = ToIPCBus(created->Bus);
        const int added = PlatformServices::CANIPC::AddSubscription(&everything, sink_);
        if (added != 0) return added;
    }
    return 0;
}

void CAN::Shutdown() {
    (void)PlatformServices::CANIPC::RemoveSubscription(sink_);
    // The interfaces, their rows and payloads are released as soon as no
    // delivery or send still holds them, which is at once unless one is
    // under way on another thread.
    InterfaceSnapshot released = interfaces_.Take();
    released.reset();
}

}  // namespace Internal
}  // namespace CustomApplication
