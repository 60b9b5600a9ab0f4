// Sends on request, payload updates and the cyclic sends of the service loop.
#include <algorithm>
#include <cstring>
#include <new>

#include "Helper.h"
#include "core/TarvexInterfacePrivate.h"
#include "common/Result.h"
#include "common/TransmitRow.h"

namespace CustomApplication {

namespace {

using J1939 = TarvexInterfacePrivate::J1939;
namespace IPC = PlatformServices::J1939IPC;

// Holds one write that the shutdown waits for (see J1939::BeginWrite).
class WriteScope {
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

bool ValidIndex(const J1939::J1939ControllerApplication& ca, std::int32_t index) {
    return index >= 0 && static_cast<std::size_t>(index) < ca.TransmitTable.size();
}

}  // namespace

std::int32_t TarvexInterfacePrivate::J1939SendMessage(std::int32_t uid, std::int32_t index) {
    WriteScope write(j1939);
    if (!write.Open()) return kNotFound;  // shut down: no CA is left
    const auto ca = j1939.ControllerApplicationFromUid(uid);
    if (!ca) return kNotFound;
    if (!ValidIndex(*ca, index)) return kNotFound;
    return J1939SendMessage(ca->TransmitTable[static_cast<std::size_t>(index)].get(), ca->Bus, ca->Address);
}

std::int32_t TarvexInterfacePrivate::J1939SendMessage(J1939::J1939TransmitTableEntry* row, CoreTypes::CANBus bus,
                                                      unsigned char address) {
    if (row == nullptr) return kInvalidArgument;
    IPC::J1939SendMessageIPC record;  // the payload bytes beyond Length are never read
    record.Bus = SDKCANBusToIPCBus(bus);
    record.SourceAddress = address;
    record.DestinationAddress = row->DestinationAddress;
    record.Priority = row->Priority;
    record.PGN = row->PGN;
    std::memset(record.Reserved1, 0, sizeof record.Reserved1);
    record.Zero = 0;
    std::memset(record.Reserved2, 0, sizeof record.Reserved2);
    ReadPayload(*row, [&](const unsigned char* data, std::size_t length) {
        record.Length = static_cast<std::uint16_t>(length);
        if (length > 0) std::memcpy(record.Data, data, length);
    });
    (void)IPC::SendMessage(&record, Sink());
    // Taken after the write: the row's next cycle starts now.
    MarkSent(*row);
    return 0;
}

std::int32_t TarvexInterfacePrivate::J1939SendMessage(const J1939Types::J1939Message* message) {
    if (message == nullptr) return kInvalidArgument;
    WriteScope write(j1939);
    if (!write.Open()) return kNoInterface;  // shut down: no CA is left
    if (!J1939DoesCAExist(message->Bus, message->SourceAddress)) return kNoInterface;
    IPC::J1939SendMessageIPC record;
    record.Bus = SDKCANBusToIPCBus(message->Bus);
    record.SourceAddress = message->SourceAddress;
    record.DestinationAddress = message->DestinationAddress;
    record.Priority = message->Priority;
    record.PGN = message->PGN;
    std::memset(record.Reserved1, 0, sizeof record.Reserved1);
    record.Zero = 0;
    std::memset(record.Reserved2, 0, sizeof record.Reserved2);
    record.Length = std::min<std::uint16_t>(message->Length, static_cast<std::uint16_t>(IPC::kMaxData));
    std::memcpy(record.Data, message->Data, record.Length);
    (void)IPC::SendMessage(&record, Sink());
    return 0;
}

std::int32_t TarvexInterfacePrivate::J1939UpdateMessageData(std::int32_t uid, std::int32_t index,
                                                            const unsigned char* data, std::int32_t length) {
    if (data == nullptr || length <= 0 || length > static_cast<std::int32_t>(IPC::kMaxData)) return kInvalidArgument;
    const auto ca = j1939.ControllerApplicationFromUid(uid);
    if (!ca) return kNotFound;
    if (!ValidIndex(*ca, index)) return kNotFound;
    J1939::J1939TransmitTableEntry& row = *ca->TransmitTable[static_cast<std::size_t>(index)];

    return UpdatePayload(row, data, static_cast<std::size_t>(length));
}

std::int64_t TarvexInterfacePrivate::J1939Service() {
    CyclicSchedule schedule(stopRequested);
    WriteScope write(j1939);
    if (!write.Open()) return schedule.Next();
    const J1939::CASnapshot list = j1939.ControllerApplications();
    for (const auto& ca : *list) {
        if (!ca) continue;
        for (const auto& row : ca->TransmitTable) {
            if (row && schedule.Due(row->Period, row->LastSentTicks.load(std::memory_order_relaxed))) {
                J1939SendMessage(row.get(), ca->Bus, ca->Address);
            }
        }
    }
    return schedule.Next();
}

}  // namespace CustomApplication
