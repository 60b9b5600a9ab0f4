// Registration of the J1708 tables and their withdrawal.
#include <cerrno>
#include <cstring>
#include <new>

#include "j1708/J1708.h"
#include "j1708/J1708IPC.h"
#include "common/Result.h"
#include "common/TransmitRow.h"

namespace CustomApplication {
namespace Internal {

namespace {

using Tables = J1708::Tables;
using ReceiveRow = J1708::J1708ReceiveTableEntry;
using TransmitRow = J1708::J1708TransmitTableEntry;

std::int32_t CopyReceiveRows(const J1708Types::J1708ReceiveTableEntry* table, std::int32_t count,
                             Tables& tables) {
    for (std::int32_t i = 0; i < count; ++i) {
        const J1708Types::J1708ReceiveTableEntry& source = table[i];
        std::unique_ptr<ReceiveRow> row(new ReceiveRow());
        if (tables.ReceiveTable.count(source.Mid) != 0) return kAlready;
        row->Mid = source.Mid;
        row->Callback = source.Callback;
        row->Context = source.Context;
        tables.ReceiveTable.emplace(source.Mid, std::move(row));
    }
    return 0;
}

std::int32_t CopyTransmitRows(const J1708Types::J1708TransmitTableEntry* table, std::int32_t count,
                              Tables& tables) {
    for (std::int32_t i = 0; i < count; ++i) {
        const J1708Types::J1708TransmitTableEntry& source = table[i];
        if (source.Length > PlatformServices::J1708::kMaxSentDataBytes) return kTooLong;
        // Data bytes announced without a buffer to copy them from.
        if (source.Length > 0 && source.Data == nullptr) return kInvalidArgument;
        std::unique_ptr<TransmitRow> row(new TransmitRow());
        row->Data = source.Data;
        row->Mid = source.Mid;
        row->Period = source.Period;
        row->Priority = source.Priority;
        if (!SetFirstPayload(*row, source.Data, source.Length)) return kOutOfMemory;
        tables.TransmitTable.push_back(std::move(row));
    }
    return 0;
}

}  // namespace

std::int32_t J1708::Init(const J1708Types::J1708ReceiveTableEntry* receiveTable, std::int32_t receiveCount,
                         const J1708Types::J1708TransmitTableEntry* transmitTable, std::int32_t transmitCount) {
    if (receiveTable == nullptr || transmitTable == nullptr) return kInvalidArgument;
    if (initialised_.load(std::memory_order_acquire)) return kAlready;

    // The rows are gathered apart from the published tables, so a failure
    // simply discards them: nothing is left behind for a second attempt.
    std::shared_ptr<Tables> tables;
    try {
        tables = std::make_shared<Tables>();
        std::int32_t result = CopyReceiveRows(receiveTable, receiveCount, *tables);
        if (result == 0) result = CopyTransmitRows(transmitTable, transmitCount, *tables);
        if (result != 0) return result;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    const RegistrationScope registration(sink_);
    if (!registration.Held()) return kPlatformBusy;
    // Of two concurrent registrations only one is published.
    const bool published = tables_.Change([&](std::shared_ptr<const Tables>& current) {
        if (initialised_.load(std::memory_order_relaxed)) return false;
        current = std::move(tables);
        initialised_.store(true, std::memory_order_release);
        return true;
    });
    if (!published) return kAlready;
    const int written = PlatformServices::J1708IPC::ReceiveSubscribe(sink_);
    // Kept for the next connection when this one is gone; taken back when
    // the platform did not take the subscription.
    if (!NotTaken(written)) return 0;
    tables_.Change([&](std::shared_ptr<const Tables>& current) {
        current.reset();
        initialised_.store(false, std::memory_order_release);
    });
    return written;
}

int J1708::Replay() {
    if (Stopping() || !Snapshot()) return 0;
    return PlatformServices::J1708IPC::ReceiveSubscribe(sink_);
}

void J1708::Shutdown() {
    (void)PlatformServices::J1708IPC::ReceiveUnsubscribe(sink_);
    // A delivery or send under way keeps the rows it uses until it ends;
    // this reference was the last one otherwise, and the rows go with it.
    std::shared_ptr<const Tables> released = tables_.Take();
    released.reset();
}

}  // namespace Internal
}  // namespace CustomApplication
