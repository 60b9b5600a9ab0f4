// Thread rule: owned by the private instance. Application threads register
// the tables, send and update; the listener thread reads the receive table
// and the catch-all registration; the service thread reads the transmit
// table. The tables are a copy-on-write snapshot published whole by Init and
// withdrawn whole by Shutdown; a reader works on the tables it took, which
// stay alive until it lets go of them. Each lock here is held briefly and
// never across a write to the sink or a callback, and no two of them are
// held together.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <customapp/J1708Types.h>

#include "QRVMessage.h"
#include "common/MessageSink.h"
#include "common/Mutex.h"
#include "common/TableSnapshot.h"
#include "j1708/J1708Record.h"

namespace CustomApplication {
namespace Internal {

// The SAE J1708 bus: one receive table keyed by MID, one transmit table and
// one catch-all callback. It sends its requests and frames (category 20)
// through the sink it was built with, and starts no callback and no cyclic
// send once a stop is requested.
class J1708 {
public:
    // The library's copy of one receive-table row.
    struct J1708ReceiveTableEntry {
        std::uint8_t Mid = 0;
        J1708Types::J1708ReceiveCallback Callback = nullptr;
        void* Context = nullptr;
    };

    // The library's copy of one transmit-table row. Mid, Period and Priority
    // never change; DataLock guards DataCopy, Length and HasData.
    struct J1708TransmitTableEntry {
        const unsigned char* Data = nullptr;  // the application's pointer; not read after J1708Init
        std::uint8_t Length GUARDED_BY(DataLock) = 0;  // current data length
        std::uint8_t Mid = 0;
        std::int64_t Period = 0;
        std::uint8_t Priority = 0;
        std::unique_ptr<std::uint8_t[]> DataCopy GUARDED_BY(DataLock);  // at least Length bytes while HasData
        Mutex DataLock;
        // Start of the row's current cycle (see CyclicSchedule.h); 0 until
        // the first send.
        std::atomic<std::int64_t> LastSentTicks{0};
        bool HasData GUARDED_BY(DataLock) = false;
    };

    using TransmitList = std::vector<std::unique_ptr<J1708TransmitTableEntry>>;
    using ReceiveMap = std::map<std::uint8_t, std::unique_ptr<J1708ReceiveTableEntry>>;

    // Both tables as one Init registered them. Once published they do
    // not change, apart from each transmit row's data under its DataLock.
    struct Tables {
        TransmitList TransmitTable;  // in the application's order: a row's position is its index
        ReceiveMap ReceiveTable;     // ascending by MID, one row per MID
    };

    // The catch-all registration, read and written as one unit.
    struct ReceiveAll {
        bool Enabled = false;
        J1708Types::J1708ReceiveCallback Callback = nullptr;
        void* Context = nullptr;
    };

    // `sink` carries every request and outlives this object, as does
    // `stopRequested`, which is set once Shutdown has begun.
    J1708(MessageSink& sink, const std::atomic<bool>& stopRequested) : sink_(sink), stopRequested_(stopRequested) {}
    J1708(const J1708&) = delete;
    J1708& operator=(const J1708&) = delete;

    // Disarms a catch-all registration made before the library's Init (its
    // callback and context stay stored) and clears the registration state;
    // called by the library's Init before any worker thread runs.
    void Reset();

    // The operations; see the facade for their results. Init copies both
    // tables and subscribes; a failure leaves nothing behind.
    std::int32_t Init(const J1708Types::J1708ReceiveTableEntry* receiveTable, std::int32_t receiveCount,
                      const J1708Types::J1708TransmitTableEntry* transmitTable, std::int32_t transmitCount);
    std::int32_t SendMessage(std::int32_t index);
    // Sends one row and, once it is written, restarts its cycle: the write's
    // result, or -22 for a null row.
    std::int32_t SendMessage(J1708TransmitTableEntry* row);
    // Writes one row through `sink` without touching its cycle.
    std::int32_t WriteRow(J1708TransmitTableEntry& row, MessageSink& sink);
    std::int32_t SendMessage(const J1708Types::J1708Message* message);
    std::int32_t UpdateMessageData(std::int32_t index, const unsigned char* data, unsigned char length);
    void RegisterReceiveAllMessages(J1708Types::J1708ReceiveCallback callback, void* context);

    // The listener thread's entry: delivers the received frames (command 2)
    // among `children`; other children and short or overlong records are
    // dropped.
    void HandleMessages(const PlatformServices::QRVMessage::ChildList& children);
    // Delivers one received frame whose Frame bytes are all present.
    void Receive(const PlatformServices::J1708::J1708Message* record);

    // Sends the subscription again once the tables are registered, for a
    // connection made anew after the platform lost the old one. Nothing once
    // a stop is requested. Called by the listener thread.
    // 0, or the failed write's result.
    [[nodiscard]] int Replay();

    // One pass of the service thread begun at tick `passTick`: sends the
    // cyclic rows that are due and returns the milliseconds from `passTick`
    // to the next one, or kNothingScheduled. Without a tick: the tick now.
    std::int64_t Service(std::int64_t passTick);
    std::int64_t Service();
    // Withdraws the subscription and releases the tables.
    void Shutdown();

    // The published tables, or null before Init and after Shutdown.
    std::shared_ptr<const Tables> Snapshot() const { return tables_.Current(); }

private:
    bool Stopping() const { return stopRequested_.load(std::memory_order_acquire); }

    MessageSink& sink_;
    const std::atomic<bool>& stopRequested_;

    TableSnapshot<Tables> tables_;
    // Set by a successful Init (within tables_.Change); stays set after
    // Shutdown.
    std::atomic<bool> initialised_{false};
    mutable Mutex receiveAllLock_;
    ReceiveAll receiveAll_ GUARDED_BY(receiveAllLock_);
};

}  // namespace Internal
}  // namespace CustomApplication
