// Sends on request, payload updates and the cyclic sends of the service loop.
#include <algorithm>
#include <cstring>
#include <new>

#include "Helper.h"
#include "j1939/J1939.h"
#include "common/BusMapping.h"
#include "common/CyclicSchedule.h"
#include "common/Result.h"
#include "common/TransmitRow.h"

namespace CustomApplication {
namespace Internal {

namespace {

namespace IPC = PlatformServices::J1939IPC;

bool ValidIndex(const J1939::J1939ControllerApplication& ca, std::int32_t index) {
    return index >= 0 && static_cast<std::size_t>(index) < ca.TransmitTable.size();
}

}  // namespace

std::int32_t J1939::SendMessage(std::int32_t uid, std::int32_t index) {
    WriteScope write(*this);
    if (!write.Open()) return kNotFound;  // shut down: no CA is left
    const auto ca = ControllerApplicationFromUid(uid);
    if (!ca) return kNotFound;
    if (!ValidIndex(*ca, index)) return kNotFound;
    if (ca->Lost.load(std::memory_order_acquire)) return kAddressLost;
    // Until the platform confirmed the CAs of a new connection, it may not hold this one's address yet.
    if (Restoring()) return kNotConnected;
    return SendMessage(ca->TransmitTable[static_cast<std::size_t>(index)].get(), ca->Bus, ca->Address);
}

std::int32_t J1939::SendMessage(J1939TransmitTableEntry* row, CoreTypes::CANBus bus, unsigned char address) {
    if (row == nullptr) return kInvalidArgument;
    const std::int32_t result = WriteRow(*row, bus, address, sink_);
    // Taken after the write: the row's next cycle starts now.
    if (result == 0) MarkSent(*row);
    return result;
}

std::int32_t J1939::WriteRow(J1939TransmitTableEntry& row, CoreTypes::CANBus bus, unsigned char address,
                             MessageSink& sink) {
    IPC::J1939SendMessageIPC record;  // the payload bytes beyond Length are never read
    record.Bus = ToIPCBus(bus);
    record.SourceAddress = address;
    record.DestinationAddress = row.DestinationAddress;
    record.Priority = row.Priority;
    record.PGN = row.PGN;
    std::memset(record.Reserved1, 0, sizeof record.Reserved1);
    record.Zero = 0;
    std::memset(record.Reserved2, 0, sizeof record.Reserved2);
    ReadPayload(row, [&](const unsigned char* data, std::size_t length) {
        record.Length = static_cast<std::uint16_t>(length);
        if (length > 0) std::memcpy(record.Data, data, length);
    });
    return IPC::SendMessage(&record, sink);
}

std::int32_t J1939::SendMessage(const J1939Types::J1939Message* message) {
    if (message == nullptr || !IsBus(message->Bus)) return kInvalidArgument;
    if (!IPC::SendableHeader(message->PGN, message->Priority)) return kInvalidArgument;
    WriteScope write(*this);
    if (!write.Open()) return kNoInterface;  // shut down: no CA is left
    const std::int32_t sender = SenderState(message->Bus, message->SourceAddress);
    if (sender != 0) return sender;
    IPC::J1939SendMessageIPC record;
    record.Bus = ToIPCBus(message->Bus);
    record.SourceAddress = message->SourceAddress;
    record.DestinationAddress = message->DestinationAddress;
    record.Priority = message->Priority;
    record.PGN = message->PGN;
    std::memset(record.Reserved1, 0, sizeof record.Reserved1);
    record.Zero = 0;
    std::memset(record.Reserved2, 0, sizeof record.Reserved2);
    record.Length = std::min<std::uint16_t>(message->Length, static_cast<std::uint16_t>(IPC::kMaxData));
    std::memcpy(record.Data, message->Data, record.Length);
    return IPC::SendMessage(&record, sink_);
}

std::int32_t J1939::UpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                      std::int32_t length) {
    if (data == nullptr || length <= 0 || length > static_cast<std::int32_t>(IPC::kMaxData)) return kInvalidArgument;
    const auto ca = ControllerApplicationFromUid(uid);
    if (!ca) return kNotFound;
    if (!ValidIndex(*ca, index)) return kNotFound;
    J1939TransmitTableEntry& row = *ca->TransmitTable[static_cast<std::size_t>(index)];

    return UpdatePayload(row, data, static_cast<std::size_t>(length));
}

std::int64_t J1939::Service() { return Service(PlatformServices::Helper::GetTicks()); }

std::int64_t J1939::Service(std::int64_t passTick) {
    CyclicSchedule schedule(stopRequested_, passTick, sink_);
    WriteScope write(*this);
    if (!write.Open()) return schedule.Next();
    if (Restoring()) {
        // A platform that never answers the restore's question is taken to
        // hold what it was sent; until then the CAs send nothing.
        if (!restoreAsked_.load(std::memory_order_acquire) ||
            PlatformServices::Helper::GetTicks() < restoreDeadline_.load(std::memory_order_acquire)) {
            return schedule.Next();
        }
        restoreAsked_.store(false, std::memory_order_release);
        restoring_.store(false, std::memory_order_release);
    }
    const CASnapshot list = ControllerApplications();
    for (const auto& ca : *list) {
        if (!ca || ca->Lost.load(std::memory_order_acquire)) continue;  // it may send nothing more
        for (const auto& row : ca->TransmitTable) {
            if (row) schedule.Visit(*row, [&](MessageSink& sink) { return WriteRow(*row, ca->Bus, ca->Address, sink); });
        }
    }
    return schedule.Finish();
}

}  // namespace Internal
}  // namespace CustomApplication
