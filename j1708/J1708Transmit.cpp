// Transmission: rows and one-shot messages on request, cyclic rows from the
// service loop, and data updates of rows.
#include <algorithm>
#include <cstring>
#include <new>

#include "Helper.h"
#include "core/TarvexInterfacePrivate.h"
#include "j1708/J1708IPC.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
// A cyclic row is sent once less than this many milliseconds remain.
constexpr std::int64_t kEarlySendMs = 3;
}  // namespace

std::int32_t TarvexInterfacePrivate::J1708SendMessage(std::int32_t index) {
    const std::shared_ptr<J1708::Tables> tables = j1708.Snapshot();
    if (!tables || index < 0 || static_cast<std::size_t>(index) >= tables->TransmitTable.size()) return kNotFound;
    return J1708SendMessage(tables->TransmitTable[static_cast<std::size_t>(index)].get());
}

std::int32_t TarvexInterfacePrivate::J1708SendMessage(J1708::J1708TransmitTableEntry* row) {
    if (row == nullptr) return kInvalidArgument;
    PlatformServices::J1708::J1708Message record;
    {
        MutexLock guard(row->DataLock);
        const std::uint8_t length = row->HasData ? row->Length : 0;
        PlatformServices::J1708::EncodeRow(row->Mid, row->Priority, row->DataCopy.get(), length, record);
    }
    PlatformServices::J1708IPC::SendJ1708Message(&record, Sink());
    // Restarts the row's cycle, also for a send on request.
    row->LastSentTicks.store(PlatformServices::Helper::GetTicks(), std::memory_order_relaxed);
    return 0;
}

std::int32_t TarvexInterfacePrivate::J1708SendMessage(const J1708Types::J1708Message* message) {
    if (message == nullptr) return kInvalidArgument;
    PlatformServices::J1708::J1708Message record;
    PlatformServices::J1708::EncodeMessage(*message, record);
    PlatformServices::J1708IPC::SendJ1708Message(&record, Sink());
    return 0;
}

std::int32_t TarvexInterfacePrivate::J1708UpdateMessageData(std::int32_t index, const unsigned char* data,
                                                            unsigned char length) {
    if (data == nullptr || length == 0 || length > J1708Types::MaxDataLength) return kInvalidArgument;
    const std::shared_ptr<J1708::Tables> tables = j1708.Snapshot();
    if (!tables || index < 0 || static_cast<std::size_t>(index) >= tables->TransmitTable.size()) return kNotFound;
    J1708::J1708TransmitTableEntry& row = *tables->TransmitTable[static_cast<std::size_t>(index)];

    MutexLock guard(row.DataLock);
    std::int32_t result = kInvalidArgument;
    if (length > row.Length) {
        // A shorter update keeps the buffer; a longer one replaces it.
        row.DataCopy.reset(new (std::nothrow) std::uint8_t[length]);
        row.HasData = row.DataCopy != nullptr;
        if (!row.HasData) {
            row.Length = 0;
            result = kOutOfMemory;
        }
    }
    if (row.HasData) {
        std::memcpy(row.DataCopy.get(), data, length);
        row.Length = length;
        result = 0;
    }
    return result;
}

std::int64_t TarvexInterfacePrivate::J1708Service() {
    std::int64_t next = kNothingScheduled;
    const std::shared_ptr<J1708::Tables> tables = j1708.Snapshot();
    if (!tables) return next;
    for (const auto& entry : tables->TransmitTable) {
        J1708::J1708TransmitTableEntry& row = *entry;
        if (row.Period == 0) continue;
        bool due = row.Period < 0;  // a negative period is due on every pass
        std::int64_t remaining = 0;
        if (!due) {
            const std::int64_t now = PlatformServices::Helper::GetTicks();
            // A send on request may have stamped the row after `now` was read.
            const std::int64_t elapsed =
                std::max<std::int64_t>(0, now - row.LastSentTicks.load(std::memory_order_relaxed));
            remaining = row.Period - elapsed;
            due = remaining < kEarlySendMs;
        }
        if (due) {
            J1708SendMessage(&row);
            // The row just sent is next due a full period from now.
            if (row.Period > 0) next = std::min(next, row.Period);
        } else {
            next = std::min(next, remaining);
        }
    }
    return next;
}

}  // namespace CustomApplication
