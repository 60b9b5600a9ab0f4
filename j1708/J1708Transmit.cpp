// Transmission: rows and one-shot messages on request, cyclic rows from the
// service loop, and data updates of rows.
#include <algorithm>
#include <cstring>
#include <new>

#include "Helper.h"
#include "common/CyclicSchedule.h"
#include "j1708/J1708.h"
#include "j1708/J1708IPC.h"
#include "common/Result.h"
#include "common/TransmitRow.h"

namespace CustomApplication {
namespace Internal {

std::int32_t J1708::SendMessage(std::int32_t index) {
    const std::shared_ptr<const Tables> tables = tables_.Current();
    if (!tables || index < 0 || static_cast<std::size_t>(index) >= tables->TransmitTable.size()) return kNotFound;
    return SendMessage(tables->TransmitTable[static_cast<std::size_t>(index)].get());
}

std::int32_t J1708::SendMessage(J1708TransmitTableEntry* row) {
    if (row == nullptr) return kInvalidArgument;
    const std::int32_t result = WriteRow(*row, sink_);
    // Restarts the row's cycle, also for a send on request.
    if (result == 0) MarkSent(*row);
    return result;
}

std::int32_t J1708::WriteRow(J1708TransmitTableEntry& row, MessageSink& sink) {
    PlatformServices::J1708::J1708Message record;
    ReadPayload(row, [&](const unsigned char* data, std::size_t length) {
        PlatformServices::J1708::EncodeRow(row.Mid, row.Priority, data, static_cast<std::uint8_t>(length), record);
    });
    return PlatformServices::J1708IPC::SendJ1708Message(&record, sink);
}

std::int32_t J1708::SendMessage(const J1708Types::J1708Message* message) {
    if (message == nullptr) return kInvalidArgument;
    if (message->Length > PlatformServices::J1708::kMaxSentDataBytes) return kTooLong;
    PlatformServices::J1708::J1708Message record;
    PlatformServices::J1708::EncodeMessage(*message, record);
    return PlatformServices::J1708IPC::SendJ1708Message(&record, sink_);
}

std::int32_t J1708::UpdateMessageData(std::int32_t index, const unsigned char* data,
                                                            unsigned char length) {
    if (data == nullptr || length == 0 || length > PlatformServices::J1708::kMaxSentDataBytes) return kInvalidArgument;
    const std::shared_ptr<const Tables> tables = tables_.Current();
    if (!tables || index < 0 || static_cast<std::size_t>(index) >= tables->TransmitTable.size()) return kNotFound;
    J1708TransmitTableEntry& row = *tables->TransmitTable[static_cast<std::size_t>(index)];

    return UpdatePayload(row, data, length);
}

std::int64_t J1708::Service() { return Service(PlatformServices::Helper::GetTicks()); }

std::int64_t J1708::Service(std::int64_t passTick) {
    CyclicSchedule schedule(stopRequested_, passTick, sink_);
    const std::shared_ptr<const Tables> tables = tables_.Current();
    if (!tables) return schedule.Next();
    for (const auto& entry : tables->TransmitTable) {
        schedule.Visit(*entry, [&](MessageSink& sink) { return WriteRow(*entry, sink); });
    }
    return schedule.Finish();
}

}  // namespace Internal
}  // namespace CustomApplication
