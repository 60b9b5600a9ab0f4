// Thread rule: owned by the private instance. Application threads register
// the tables, send and update; the listener thread reads the receive table
// and the catch-all registration; the service thread reads the transmit
// table. The tables are published whole by J1708Init and withdrawn whole by
// J1708Shutdown; a reader works on the tables it took, which stay alive until
// it lets go of them. Each lock here is held briefly and never across an IPC
// write or a callback, and no two of them are held together.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <customapp/J1708Types.h>

#include "j1708/J1708Record.h"
#include "common/Mutex.h"

namespace CustomApplication {
namespace Internal {

// The SAE J1708 bus: one receive table keyed by MID, one transmit table and
// one catch-all callback.
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
        std::atomic<std::int64_t> LastSentTicks{0};
        bool HasData GUARDED_BY(DataLock) = false;
    };

    using TransmitList = std::vector<std::unique_ptr<J1708TransmitTableEntry>>;
    using ReceiveMap = std::map<std::uint8_t, std::unique_ptr<J1708ReceiveTableEntry>>;

    // Both tables as one J1708Init registered them. Once published they do
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

    // Disarms a catch-all registration made before Init (its callback and
    // context stay stored) and clears the registration state; called by
    // Init before any worker thread runs.
    void Init();
    bool IsInitialised() const { return Initialised.load(std::memory_order_acquire); }

    // The published tables, or null before J1708Init and after J1708Shutdown.
    std::shared_ptr<Tables> Snapshot() const;
    // Publishes the tables of a successful J1708Init and marks the bus
    // initialised. False, publishing nothing, when it already is.
    bool Publish(std::shared_ptr<Tables> tables);
    // Takes the tables away; they are released once the last reader is done.
    std::shared_ptr<Tables> Withdraw();

    void SetReceiveAll(J1708Types::J1708ReceiveCallback callback, void* context);
    ReceiveAll GetReceiveAll() const;

private:
    // Set by a successful J1708Init (under TablesLock); stays set after
    // J1708Shutdown.
    std::atomic<bool> Initialised{false};
    mutable Mutex TablesLock;
    std::shared_ptr<Tables> CurrentTables GUARDED_BY(TablesLock);
    mutable Mutex ReceiveAllLock;
    ReceiveAll ReceiveAllRegistration GUARDED_BY(ReceiveAllLock);
};

}  // namespace Internal
}  // namespace CustomApplication
