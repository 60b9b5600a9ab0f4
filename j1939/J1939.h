// Thread rule: owned by the private instance. Application threads create CAs,
// send, update payloads and register receive-all callbacks; the listener
// thread decodes replies and delivers received messages; the service thread
// sends cyclic rows; Shutdown withdraws everything.
//
// The CA list is a copy-on-write snapshot: readers take a counted reference
// to the current list and walk it without any lock; a creation or the
// shutdown publishes a new list. A CA's tables and identity never change
// once it is in a list (only its Lost flag turns true, once), so a reader holding a snapshot may use every CA in
// it, also after the shutdown has published the empty list. No lock of this subsystem is held
// across an IPC write or a callback, and no two are held together.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <customapp/CoreTypes.h>
#include <customapp/J1939Types.h>

#include "QRVMessage.h"
#include "j1939/J1939IPC.h"
#include "common/MessageSink.h"
#include "common/Mutex.h"
#include "common/RequestExchange.h"
#include "common/TableSnapshot.h"

namespace CustomApplication {
namespace Internal {

// SAE J1939 controller applications (CAs) of this instance. It sends its
// requests and messages (category 13) through the sink it was built with,
// and starts no callback and no cyclic send once a stop is requested.
class J1939 {
public:
    // A copy of one row of the application's receive table.
    struct J1939ReceiveTableEntry {
        std::uint32_t PGN = 0;
        std::uint8_t SourceAddress = 0;
        std::int32_t SubscriptionMode = 0;  // 0 PGN, 1 source address, 2 both; others never match
        J1939Types::J1939ReceiveCallback Callback = nullptr;
        void* Context = nullptr;
    };
    // Receive rows by key, (PGN << 8) | SourceAddress, ascending.
    using ReceiveTableMap = std::map<unsigned int, std::unique_ptr<J1939ReceiveTableEntry>>;

    // The row key; PGNs are at most 18 bits wide, so nothing is lost.
    static unsigned int ReceiveKey(std::uint32_t pgn, std::uint8_t sourceAddress) {
        return static_cast<unsigned int>((pgn << 8) | sourceAddress);
    }

    // One row of a CA's transmit table with its own copy of the payload.
    struct J1939TransmitTableEntry {
        const unsigned char* Data = nullptr;  // the application's pointer; never read after the creation
        std::uint32_t PGN = 0;
        std::int64_t Period = 0;  // 0 on request only; otherwise also cyclic (negative: every pass)
        std::uint8_t Priority = 0;
        std::uint8_t DestinationAddress = 0;
        // Start of the row's current cycle (see CyclicSchedule.h); 0 until
        // the first send, so a cyclic row is due at once.
        std::atomic<std::int64_t> LastSentTicks{0};

        Mutex DataLock;
        std::int32_t Length GUARDED_BY(DataLock) = 0;
        std::unique_ptr<unsigned char[]> DataCopy GUARDED_BY(DataLock);  // at least Length bytes while HasData
        bool HasData GUARDED_BY(DataLock) = false;
    };

    // A receive-all callback with its context, published as one unit.
    struct ReceiveAllRegistration {
        J1939Types::J1939ReceiveCallback Callback;
        void* Context;
    };

    class J1939ControllerApplication {
    public:
        // Built by the creation and unchanged once the CA is published.
        std::vector<std::unique_ptr<J1939TransmitTableEntry>> TransmitTable;
        ReceiveTableMap ReceiveTable;
        CoreTypes::CANBus Bus = CoreTypes::CANBus0;
        std::uint8_t Address = 0;
        std::int32_t Uid = 0;
        // Created with this NAME, or (when Attached) the platform's own CA.
        J1939Types::J1939Name Name{};
        bool Attached = false;  // the platform's configured CA, not one of this instance's claims
        // Set once the platform's list of the CAs present no longer holds
        // the CA (another won its address); cleared by a list that holds it
        // again.
        std::atomic<bool> Lost{false};

        // Builds the lookup of the rows that can deliver; called once the
        // receive table is complete, before the CA is published.
        void IndexReceiveTable();

        // Calls `visit(row)` for every row that delivers a message of `pgn`
        // from `sourceAddress`, in ascending key order, until `visit` returns
        // false. Returns whether any row matched. Rows without a callback and
        // rows of an unknown mode never match.
        template <typename Visit>
        bool VisitMatchingRows(std::uint32_t pgn, std::uint8_t sourceAddress, Visit&& visit) const;

        // The current receive-all registration, or null before the first.
        std::shared_ptr<const ReceiveAllRegistration> ReceiveAll() const;
        // Returns the registration it replaced (null before the first).
        std::shared_ptr<const ReceiveAllRegistration> SetReceiveAll(J1939Types::J1939ReceiveCallback callback,
                                                                    void* context);
        // Makes `registration` the current one; `registration` then holds the one it replaced.
        void PutBackReceiveAll(std::shared_ptr<const ReceiveAllRegistration>& registration);

    private:
        struct KeyedRow {
            unsigned int key;
            const J1939ReceiveTableEntry* row;
        };
        struct SourceRow {
            std::uint8_t source;
            unsigned int key;
            const J1939ReceiveTableEntry* row;
        };
        // Rows of modes 0 and 2 by key: the rows of one PGN are one key range.
        std::vector<KeyedRow> pgnRows_;
        // Rows of mode 1 by source address, then key.
        std::vector<SourceRow> sourceRows_;

        mutable Mutex receiveAllLock_;
        // The pointer, not the registration, is guarded.
        std::shared_ptr<const ReceiveAllRegistration> receiveAll_ GUARDED_BY(receiveAllLock_);
    };

    using CAList = std::vector<std::shared_ptr<J1939ControllerApplication>>;
    using CASnapshot = std::shared_ptr<const CAList>;

    // One CA that the platform reported: its bus (SDK numbering) and address.
    struct PlatformCA {
        CoreTypes::CANBus Bus;
        std::uint8_t Address;
        bool operator==(const PlatformCA& other) const { return Bus == other.Bus && Address == other.Address; }
    };

    // `sink` carries every request and outlives this object, as does
    // `stopRequested`, which is set once Shutdown has begun.
    J1939(MessageSink& sink, const std::atomic<bool>& stopRequested);
    J1939(const J1939&) = delete;
    J1939& operator=(const J1939&) = delete;

    // Resets the uid counter; called by the library's Init before any
    // worker thread runs.
    void Reset();

    // --- The operations; see the facade for their results.
    // Creates a CA (or, with `attach`, takes the platform's first configured
    // CA on `bus`): copies the tables, asks the platform, waits for its CA
    // list, publishes the CA, subscribes its receive rows and returns its uid.
    std::int32_t Create(CoreTypes::CANBus bus, unsigned char address, const J1939Types::J1939Name* name,
                        const J1939Types::J1939ReceiveTableEntry* receiveTable, int receiveCount,
                        const J1939Types::J1939TransmitTableEntry* transmitTable, int transmitCount, bool attach);
    bool DoesCAExist(CoreTypes::CANBus bus, unsigned char address) const;
    std::int32_t GetSourceAddressFromCA(std::int32_t uid, unsigned char* address) const;
    std::int32_t SendMessage(std::int32_t uid, std::int32_t index);
    // Sends one row from `address` on `bus` and, once it is written,
    // restarts its cycle: the write's result, or -22 for a null row.
    std::int32_t SendMessage(J1939TransmitTableEntry* row, CoreTypes::CANBus bus, unsigned char address);
    // Writes one row from `address` on `bus` through `sink` without
    // touching its cycle.
    std::int32_t WriteRow(J1939TransmitTableEntry& row, CoreTypes::CANBus bus, unsigned char address,
                          MessageSink& sink);
    std::int32_t SendMessage(const J1939Types::J1939Message* message);
    std::int32_t UpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                   std::int32_t length);
    std::int32_t RegisterReceiveAllMessages(std::int32_t uid, J1939Types::J1939ReceiveCallback callback,
                                            void* context);
    // Adds (or withdraws) one platform subscription per row of `table`: 0,
    // or the first failed write's result (adding stops at a message the
    // platform did not take). `*sent`, when given, counts the rows before
    // the one it stopped at.
    int LinkReceiveTableToPlatform(const ReceiveTableMap* table, unsigned char ipcBus, bool subscribe,
                                   std::size_t* sent = nullptr);

    // The listener thread's entry: received messages (command 5) and the
    // platform's CA lists (replies 10 and 12) among `children`.
    void HandleMessages(const PlatformServices::QRVMessage::ChildList& children);
    // Delivers one received message to the matching rows of each CA it is
    // addressed to, or else to that CA's receive-all registration.
    void Receive(PlatformServices::J1939IPC::J1939ReceiveMessageIPC* message);
    // Replies 10 and 12: rewrite the stored list (when well formed and not
    // empty) and pass the list to the creation it answers. A list 10, also
    // one that the platform sends by itself, also an empty one, marks every
    // created CA that it does not hold as lost.
    void HandleCAList(const PlatformServices::QRVMessage& child, bool staticList);
    // Ends a creation's wait for the platform's list, to look at its
    // connection again.
    void WakeWaiter() { caListExchange_.Wake(); }

    // For a connection made anew after the platform lost the old one: asks
    // the platform again for each CA it created (same bus, address and
    // NAME; an attached CA is the platform's own) and sends its
    // subscriptions again, its catch-all's included. Waits for no answer;
    // nothing once closed. Called by the listener thread, after
    // BeginRestore. 0, or the first failed write's result (nothing more is
    // sent then).
    [[nodiscard]] int Replay();
    // Called before a new connection is made: from here until the answer
    // to ConfirmRestore the CAs send nothing and Restoring is true.
    void BeginRestore();
    // Asks for the platform's list of this application's CAs after
    // everything was sent again on a new connection. The platform handles
    // its messages in order, so its answer tells that it has every one of
    // them: the CAs that did not get their address back are marked lost
    // then, and Restoring turns false. 0 or the write's result.
    [[nodiscard]] int ConfirmRestore();
    // Whether a restore awaits the platform's answer (at most kRestoreAnswerMs:
    // a platform that never answers is taken to hold what it was sent).
    bool Restoring() const { return restoring_.load(std::memory_order_acquire); }
    static constexpr std::int64_t kRestoreAnswerMs = 2000;
    // Counts the CAs that were marked lost or found holding their address
    // again: changes whenever one of them does.
    std::uint64_t AddressChanges() const { return addressChanges_.load(std::memory_order_acquire); }

    // One pass of the service thread begun at tick `passTick`: sends the
    // cyclic rows that are due and returns the milliseconds from `passTick`
    // to the next one, or kNothingScheduled. Without a tick: the tick now.
    std::int64_t Service(std::int64_t passTick);
    std::int64_t Service();
    // Closes the subsystem, waits for the writes under way, withdraws every
    // subscription and removes every CA from the platform.
    void Shutdown();

    // --- The CA list.
    // The current list, in order of creation (never null).
    CASnapshot ControllerApplications() const;
    // The CA with `uid`, or null.
    std::shared_ptr<J1939ControllerApplication> ControllerApplicationFromUid(std::int32_t uid) const;
    // The platform's CA lists as replies 10 and 12 last gave them.
    std::vector<PlatformCA> PlatformCAList(bool staticList) const;

private:
    class WriteScope;

    // The answer to a creation or attach: a list of the platform's CAs.
    struct CAListReply {
        bool StaticList = false;  // reply 12 (else 10)
        std::shared_ptr<const std::vector<PlatformCA>> List;
        bool Holds(CoreTypes::CANBus bus, std::uint8_t address) const;
        // The address of the first CA on `bus`; false when there is none.
        bool First(CoreTypes::CANBus bus, std::uint8_t* address) const;
    };
    using CAListExchange = RequestExchange<CAListReply>;

    // Gives `ca` the next uid and appends it. Returns the uid; 0 once the
    // subsystem has been closed, -12 when the new list cannot be allocated
    // (nothing changed in either case).
    std::int32_t Publish(const std::shared_ptr<J1939ControllerApplication>& ca);
    // Closes the subsystem and publishes the empty list; returns the list it replaced.
    CASnapshot Close();
    // Withdraws the platform subscription of one receive row: the write's result.
    int WithdrawRow(const J1939ReceiveTableEntry& row, unsigned char ipcBus);
    // Takes the CA out of the list again (a creation that failed after its publication).
    void Unpublish(const J1939ControllerApplication* ca);
    bool IsClosed() const { return closed_.load(std::memory_order_acquire); }

    // Writes that must reach the platform before the shutdown's withdrawals
    // (sends and subscriptions). BeginWrite fails once the subsystem is
    // closed; a successful one must be paired with EndWrite.
    bool BeginWrite();
    void EndWrite();
    // Waits until every write begun before Close has ended.
    void AwaitWrites();

    void ReplacePlatformCAList(std::vector<PlatformCA> list, bool staticList);
    // Marks the created CAs of `list` (all, or the one `only`) that `present`
    // does not hold as lost.
    void MarkLost(const CAList& list, const std::vector<PlatformCA>& present,
                  const J1939ControllerApplication* only = nullptr);
    // Clears the mark of the created CAs of `list` that `present` holds again.
    void MarkRegained(const CAList& list, const std::vector<PlatformCA>& present);
    // The CA of this instance on (bus, address): 0 when one holds its
    // address, -99 when every one there lost it, -1 when there is none.
    std::int32_t SenderState(CoreTypes::CANBus bus, unsigned char address) const;

    MessageSink& sink_;
    const std::atomic<bool>& stopRequested_;

    // Creations and attaches run one at a time: a turn covers the existence
    // test, the requests, the wait for the platform's list and the publication.
    CAListExchange caListExchange_;

    TableSnapshot<CAList> cas_;
    // Changed only within cas_.Change, so it moves with the list; Close
    // also sets closed_ there.
    std::int32_t nextCAUid_ = 1;
    std::atomic<bool> closed_{false};
    // Set by Replay, cleared by the platform's answer to ConfirmRestore or
    // once restoreDeadline_ (ticks) has passed.
    std::atomic<bool> restoring_{false};
    std::atomic<std::uint64_t> addressChanges_{0};
    std::atomic<bool> restoreAsked_{false};
    std::atomic<std::int64_t> restoreDeadline_{0};

    std::atomic<int> writesInFlight_{0};
    Mutex drainLock_;
    CondVar drained_;

    mutable Mutex platformListLock_;
    std::vector<PlatformCA> platformCAList_ GUARDED_BY(platformListLock_);
    std::vector<PlatformCA> platformStaticCAList_ GUARDED_BY(platformListLock_);
    // The last list 10, empty or not: a creation published after it arrived
    // checks its CA against it.
    std::shared_ptr<const std::vector<PlatformCA>> presentCAs_ GUARDED_BY(platformListLock_);
};

// Holds one write that the shutdown waits for (see BeginWrite).
class J1939::WriteScope {
public:
    explicit WriteScope(J1939& j1939) : j1939_(j1939), open_(j1939.BeginWrite()) {}
    ~WriteScope() {
        if (open_) j1939_.EndWrite();
    }
    WriteScope(const WriteScope&) = delete;
    WriteScope& operator=(const WriteScope&) = delete;
    bool Open() const { return open_; }

private:
    J1939& j1939_;
    const bool open_;
};

template <typename Visit>
bool J1939::J1939ControllerApplication::VisitMatchingRows(std::uint32_t pgn, std::uint8_t sourceAddress,
                                                          Visit&& visit) const {
    const unsigned int low = ReceiveKey(pgn, 0);
    const unsigned int high = low | 0xffu;
    auto byKey = std::lower_bound(pgnRows_.begin(), pgnRows_.end(), low,
                                  [](const KeyedRow& entry, unsigned int key) { return entry.key < key; });
    auto bySource = std::lower_bound(sourceRows_.begin(), sourceRows_.end(), sourceAddress,
                                     [](const SourceRow& entry, std::uint8_t source) { return entry.source < source; });
    bool matched = false;
    for (;;) {
        const bool keyLeft = byKey != pgnRows_.end() && byKey->key <= high;
        const bool sourceLeft = bySource != sourceRows_.end() && bySource->source == sourceAddress;
        if (!keyLeft && !sourceLeft) break;
        const J1939ReceiveTableEntry* row;
        if (keyLeft && (!sourceLeft || byKey->key < bySource->key)) {
            row = (byKey++)->row;
            // The key range holds every row whose PGN agrees in its low 24 bits.
            if (row->PGN != pgn || (row->SubscriptionMode == 2 && row->SourceAddress != sourceAddress)) continue;
        } else {
            row = (bySource++)->row;
        }
        matched = true;
        if (!visit(*row)) break;
    }
    return matched;
}

}  // namespace Internal
}  // namespace CustomApplication
