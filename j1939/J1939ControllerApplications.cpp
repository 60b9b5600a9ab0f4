// Creation and attach of controller applications, their subscriptions, and
// the platform's CA lists that answer them.
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "Helper.h"
#include "j1939/J1939.h"
#include "common/BusMapping.h"
#include "common/Result.h"
#include "common/TransmitRow.h"

namespace CustomApplication {
namespace Internal {

namespace {

namespace IPC = PlatformServices::J1939IPC;

// How long a creation waits for the platform's CA list.
constexpr std::int32_t kCAListWaitMs = 500;

// Copies the receive rows into `ca`, stopping at the first failure.
std::int32_t CopyReceiveTable(J1939::J1939ControllerApplication& ca,
                              const J1939Types::J1939ReceiveTableEntry* table, int count) {
    for (int i = 0; i < count; ++i) {
        const J1939Types::J1939ReceiveTableEntry& source = table[i];
        auto row = std::make_unique<J1939::J1939ReceiveTableEntry>();
        const unsigned int key = J1939::ReceiveKey(source.PGN, source.SourceAddress);
        if (ca.ReceiveTable.count(key) != 0) return kAlready;
        row->PGN = source.PGN;
        row->SourceAddress = source.SourceAddress;
        row->SubscriptionMode = source.SubscriptionMode;
        row->Callback = source.Callback;
        row->Context = source.Context;
        ca.ReceiveTable.emplace(key, std::move(row));
    }
    return 0;
}

// Copies the transmit rows and their payloads into `ca`, stopping at the
// first failure.
std::int32_t CopyTransmitTable(J1939::J1939ControllerApplication& ca,
                               const J1939Types::J1939TransmitTableEntry* table, int count) {
    for (int j = 0; j < count; ++j) {
        const J1939Types::J1939TransmitTableEntry& source = table[j];
        if (source.Length > static_cast<std::int32_t>(IPC::kMaxData)) return kTooLong;
        // A negative length, or bytes to copy from nowhere, cannot be a payload.
        if (source.Length < 0 || (source.Length > 0 && source.Data == nullptr)) return kInvalidArgument;
        // A row the platform would refuse at every send.
        if (!IPC::SendableHeader(source.PGN, source.Priority)) return kInvalidArgument;
        auto row = std::make_unique<J1939::J1939TransmitTableEntry>();
        row->Data = source.Data;
        row->PGN = source.PGN;
        row->Period = source.Period;
        row->Priority = source.Priority;
        row->DestinationAddress = source.DestinationAddress;
        if (!SetFirstPayload(*row, source.Data, static_cast<std::size_t>(source.Length))) return kOutOfMemory;
        ca.TransmitTable.push_back(std::move(row));
    }
    return 0;
}

// The receive table first, then, only if it was copied whole, the transmit table.
std::int32_t CopyTables(J1939::J1939ControllerApplication& ca, const J1939Types::J1939ReceiveTableEntry* receiveTable,
                        int receiveCount, const J1939Types::J1939TransmitTableEntry* transmitTable,
                        int transmitCount) {
    try {
        std::int32_t result = CopyReceiveTable(ca, receiveTable, receiveCount);
        if (result == 0) result = CopyTransmitTable(ca, transmitTable, transmitCount);
        if (result == 0) ca.IndexReceiveTable();
        return result;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
}

IPC::J1939NameIPC NameRecord(const J1939Types::J1939Name& name) {
    IPC::J1939NameIPC record{};
    record.ArbitraryAddressCapable = name.ArbitraryAddressCapable;
    record.IndustryGroup = name.IndustryGroup;
    record.VehicleSystemInstance = name.VehicleSystemInstance;
    record.VehicleSystem = name.VehicleSystem;
    record.IdentityNumber = name.IdentityNumber;
    record.ManufacturerCode = name.ManufacturerCode;
    record.Function = name.Function;
    record.FunctionInstance = name.FunctionInstance;
    record.ECUInstance = name.ECUInstance;
    return record;
}

}  // namespace

std::int32_t J1939::Create(CoreTypes::CANBus bus, unsigned char address, const J1939Types::J1939Name* name,
                          const J1939Types::J1939ReceiveTableEntry* receiveTable, int receiveCount,
                          const J1939Types::J1939TransmitTableEntry* transmitTable, int transmitCount, bool attach) {
    if (receiveTable == nullptr || transmitTable == nullptr) return kInvalidArgument;
    if (!IsBus(bus)) return kInvalidArgument;
    if (!attach && (name == nullptr || address == 254 || address == 255)) return kInvalidArgument;
    // The platform's list could only be taken once this call has returned.
    if (sink_.OnReceivingThread()) return kCalledFromCallback;
    // Held until the CA and its subscriptions went out: a restore of the
    // connection sends them again only if it comes after.
    const RegistrationScope registration(sink_);
    if (!registration.Held()) return kPlatformBusy;

    // One creation at a time from here to the publication: the existence
    // test and the platform's answer are shared. The time-out bounds the
    // whole call, the wait for the turn included.
    const std::int64_t deadline = CAListExchange::Deadline(kCAListWaitMs);
    const CAListExchange::Turn turn(caListExchange_, deadline, sink_.OnReceivingThread());
    if (!attach && DoesCAExist(bus, address)) return kExists;

    std::shared_ptr<J1939::J1939ControllerApplication> ca;
    try {
        ca = std::make_shared<J1939ControllerApplication>();
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    const std::int32_t copied = CopyTables(*ca, receiveTable, receiveCount, transmitTable, transmitCount);
    if (copied != 0) return copied;

    // Without the turn (on the listener thread while another creation
    // waits, whose answer cannot come until this callback returns) nothing
    // is sent and the call fails at once.
    const unsigned char ipcBus = ToIPCBus(bus);
    // A request that was not written (not built for want of memory, not
    // taken by a platform that is held up, no connection) ends the call at
    // once with the write's result, and nothing after it is sent: the call
    // never waits in vain for an answer to a request the platform never got,
    // nor adds one write's bound to another's. No write starts once the
    // call's time is up (-11: the platform takes its requests too slowly).
    bool creationSent = false;
    const auto send = [&]() -> std::int32_t {
        const auto late = [deadline] { return PlatformServices::Helper::GetTicks() >= deadline; };
        if (!attach) {
            if (const int made = IPC::CreateInterfaceManager(ipcBus, sink_); made != 0) return made;
            if (late()) return kPlatformBusy;
            IPC::J1939NameIPC nameRecord = NameRecord(*name);
            if (const int created = IPC::CreateControllerApplication(ipcBus, address, &nameRecord, sink_); created != 0)
                return created;
            creationSent = true;
            if (late()) return kPlatformBusy;
        }
        return IPC::GetCurrentCAList(sink_, attach);
    };
    // A creation is answered by a current list that holds its CA (a list
    // that does not, such as one that comes late for an earlier creation, is
    // passed over); an attach by a list of the configured CAs.
    const auto answers = [attach, bus, address](const CAListReply& reply) {
        return attach ? reply.StaticList : !reply.StaticList && reply.Holds(bus, address);
    };
    // A creation that fails once its request went out withdraws it: the
    // platform may have made the CA (and claimed its address) all the same,
    // and the application could neither use nor remove it.
    const auto failed = [&](std::int32_t result) {
        if (creationSent) (void)IPC::RemoveControllerApplication(ipcBus, address, sink_);
        return result;
    };
    CAListReply reply;
    const std::int32_t answered = caListExchange_.Await(turn, deadline, answers, send, sink_, &reply);
    if (answered != 0) return failed(answered);

    if (attach) {
        if (!reply.First(bus, &ca->Address)) return kUnexpectedReply;
        ca->Attached = true;
    } else {
        ca->Address = address;
        ca->Name = *name;
    }
    ca->Bus = bus;
    ca->Attached = attach;

    // The subscriptions count as writes that the shutdown waits for, so that
    // they never reach the platform after its withdrawals.
    if (!BeginWrite()) return failed(kNotAllowed);
    const std::int32_t uid = Publish(ca);
    if (uid > 0) {
        // A list that came after the answer, before the publication, found
        // no CA to mark: it is checked here.
        std::shared_ptr<const std::vector<PlatformCA>> present;
        {
            MutexLock guard(platformListLock_);
            present = presentCAs_;
        }
        if (present && !attach) MarkLost(*ControllerApplications(), *present, ca.get());
        std::size_t sent = 0;
        const int linked = LinkReceiveTableToPlatform(&ca->ReceiveTable, ipcBus, true, &sent);
        // A lost connection is no failure: the CA is sent again with the rest
        // once the connection is made anew. A subscription the platform did
        // not take fails the call, which leaves nothing behind.
        if (NotTaken(linked)) {
            Unpublish(ca.get());
            std::size_t withdrawn = 0;
            bool whole = true;
            for (const auto& entry : ca->ReceiveTable) {
                if (withdrawn++ == sent) break;
                const J1939ReceiveTableEntry* row = entry.second.get();
                const int removed = WithdrawRow(*row, ipcBus);
                if (NotTaken(removed)) whole = false;
                if (!whole) break;
            }
            // The platform may keep what it could not be told to drop: a new
            // connection starts it from what is registered.
            if (!whole) sink_.Resynchronise();
            EndWrite();
            return failed(linked);
        }
    }
    EndWrite();
    return uid == 0 ? failed(kNotAllowed) : uid;
}

int J1939::Replay() {
    // A write, like a creation's: the shutdown's removals come after it.
    const WriteScope write(*this);
    if (!write.Open()) return 0;
    const CASnapshot list = ControllerApplications();
    for (const auto& ca : *list) {
        if (!ca) continue;
        const unsigned char ipcBus = ToIPCBus(ca->Bus);
        // A CA that lost its address has lost it for good: it claims nothing again.
        if (!ca->Attached && !ca->Lost.load()) {
            int written = IPC::CreateInterfaceManager(ipcBus, sink_);
            IPC::J1939NameIPC nameRecord = NameRecord(ca->Name);
            if (written == 0) written = IPC::CreateControllerApplication(ipcBus, ca->Address, &nameRecord, sink_);
            if (written != 0) return written;
        }
        const int linked = LinkReceiveTableToPlatform(&ca->ReceiveTable, ipcBus, true);
        if (linked != 0) return linked;
        if (ca->ReceiveAll()) {
            const int all = IPC::SubscribeMessage(ipcBus, IPC::SubscribeAll, 0, 0, sink_, false);
            if (all != 0) return all;
        }
    }
    return 0;
}

void J1939::BeginRestore() {
    restoreAsked_.store(false, std::memory_order_release);
    restoring_.store(true, std::memory_order_release);
}

int J1939::ConfirmRestore() {
    restoreDeadline_.store(PlatformServices::Helper::GetTicks() + kRestoreAnswerMs, std::memory_order_release);
    restoreAsked_.store(true, std::memory_order_release);
    const int written = IPC::GetCurrentCAList(sink_, false);
    if (written != 0) restoring_.store(false, std::memory_order_release);
    return written;
}

int J1939::WithdrawRow(const J1939ReceiveTableEntry& row, unsigned char ipcBus) {
    switch (row.SubscriptionMode) {
        case 0:
            return IPC::SubscribeMessage(ipcBus, IPC::SubscribePGN, row.PGN, 0, sink_, true);
        case 1:
            return IPC::SubscribeMessage(ipcBus, IPC::SubscribeSourceAddress, 0, row.SourceAddress, sink_, true);
        case 2:
            return IPC::SubscribeMessage(ipcBus, IPC::SubscribePGNAndSource, row.PGN, row.SourceAddress, sink_, true);
        default:
            return 0;
    }
}

int J1939::LinkReceiveTableToPlatform(const ReceiveTableMap* table, unsigned char ipcBus, bool subscribe,
                                      std::size_t* sent) {
    if (table == nullptr) return 0;
    int first = 0;
    for (const auto& entry : *table) {
        const J1939ReceiveTableEntry* row = entry.second.get();
        if (row == nullptr) continue;
        int written = 0;
        switch (row->SubscriptionMode) {
            case 0:
                written = IPC::SubscribeMessage(ipcBus, IPC::SubscribePGN, row->PGN, 0, sink_, !subscribe);
                break;
            case 1:
                written = IPC::SubscribeMessage(ipcBus, IPC::SubscribeSourceAddress, 0, row->SourceAddress, sink_,
                                                !subscribe);
                break;
            case 2:
                written = IPC::SubscribeMessage(ipcBus, IPC::SubscribePGNAndSource, row->PGN, row->SourceAddress,
                                                sink_, !subscribe);
                break;
            default:
                break;
        }
        if (written != 0 && first == 0) first = written;
        // A subscription stops where the platform did not take one (the
        // rest would not be taken either); otherwise every row is tried.
        if (subscribe && NotTaken(written)) return written;
        if (sent != nullptr) ++*sent;
    }
    return first;
}

bool J1939::DoesCAExist(CoreTypes::CANBus bus, unsigned char address) const {
    const CASnapshot list = ControllerApplications();
    for (const auto& ca : *list) {
        if (ca && ca->Bus == bus && ca->Address == address) return true;
    }
    return false;
}

std::int32_t J1939::GetSourceAddressFromCA(std::int32_t uid, unsigned char* address) const {
    if (address == nullptr) return kInvalidArgument;
    const auto ca = ControllerApplicationFromUid(uid);
    if (!ca) return kNotFound;
    *address = ca->Address;
    return 0;
}

void J1939::HandleCAList(const PlatformServices::QRVMessage& child, bool staticList) {
    const std::uint8_t* data = child.GetData();
    const std::size_t length = child.GetLength();
    // A malformed list answers nothing; an empty one answers as a list
    // without CAs (the stored list is kept, as for any list without data).
    if (length % 2 != 0 || (data == nullptr && length != 0)) return;
    CAListReply reply;
    reply.StaticList = staticList;
    try {
        auto list = std::make_shared<std::vector<PlatformCA>>();
        list->reserve(length / 2);
        for (std::size_t i = 0; i < length; i += 2) {
            const CoreTypes::CANBus bus = ToSDKBus(data[i]);
            if (bus == CoreTypes::CANBusUnknown) continue;
            list->push_back(PlatformCA{bus, data[i + 1]});
        }
        if (length != 0) ReplacePlatformCAList(*list, staticList);
        if (!staticList) {
            MutexLock guard(platformListLock_);
            presentCAs_ = list;
        }
        reply.List = std::move(list);
    } catch (const std::bad_alloc&) {
        return;  // the lists stay as they were; the waiting creation times out
    }
    // The platform names every CA of this instance that holds its address.
    if (!staticList) {
        const CASnapshot cas = ControllerApplications();
        MarkLost(*cas, *reply.List);
        MarkRegained(*cas, *reply.List);
        // The answer to a restore's question: the platform has handled
        // everything sent before it.
        if (restoreAsked_.exchange(false)) restoring_.store(false, std::memory_order_release);
    }
    (void)caListExchange_.Offer(reply);
}

}  // namespace Internal
}  // namespace CustomApplication
