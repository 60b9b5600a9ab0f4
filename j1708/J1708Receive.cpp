// Reception: received frames to the row of their MID or to the catch-all.
#include <cstring>

#include "core/TarvexInterfacePrivate.h"
#include "j1708/J1708IPC.h"

namespace CustomApplication {

void TarvexInterfacePrivate::J1708IPCHandler(const PlatformServices::QRVMessage::ChildList& children,
                                             std::int32_t /*sourceAddress*/) {
    namespace Record = PlatformServices::J1708;
    for (const auto& child : children) {
        if (!child || child->GetCommand() != PlatformServices::J1708IPC::kCommandReceived) continue;
        const std::uint8_t* data = child->GetData();
        const std::size_t length = child->GetLength();
        if (data == nullptr || length > Record::kRecordBytes || length < Record::kFrameOffset) continue;
        Record::J1708Message record{};
        std::memcpy(&record, data, length);
        // A frame that claims more bytes than arrived is dropped.
        if (record.Count > length - Record::kFrameOffset) continue;
        J1708Receive(&record);
    }
}

void TarvexInterfacePrivate::J1708Receive(const PlatformServices::J1708::J1708Message* record) {
    // Once Shutdown was requested (possibly by a callback of this batch), no
    // further callback starts.
    if (record == nullptr || stopRequested.load(std::memory_order_acquire)) return;
    J1708Types::J1708Message message;
    if (!PlatformServices::J1708::Decode(*record, message)) return;

    if (const std::shared_ptr<J1708::Tables> tables = j1708.Snapshot()) {
        const auto found = tables->ReceiveTable.find(message.Mid);
        if (found != tables->ReceiveTable.end() && found->second->Callback != nullptr) {
            const J1708::J1708ReceiveTableEntry& row = *found->second;
            row.Callback(row.Context, message.Mid, message.Checksum, message.Priority, message.Data,
                         message.Length);
            return;
        }
    }
    const J1708::ReceiveAll all = j1708.GetReceiveAll();
    if (all.Enabled && all.Callback != nullptr) {
        all.Callback(all.Context, message.Mid, message.Checksum, message.Priority, message.Data, message.Length);
    }
}

void TarvexInterfacePrivate::J1708RegisterReceiveAllMessages(J1708Types::J1708ReceiveCallback callback,
                                                             void* context) {
    j1708.SetReceiveAll(callback, context);
}

}  // namespace CustomApplication
