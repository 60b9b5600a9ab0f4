// Reception: received frames to the row of their MID or to the catch-all.
#include <cstring>

#include "j1708/J1708.h"
#include "j1708/J1708IPC.h"

namespace CustomApplication {
namespace Internal {

void J1708::HandleMessages(const PlatformServices::QRVMessage::ChildList& children) {
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
        Receive(&record);
    }
}

void J1708::Receive(const PlatformServices::J1708::J1708Message* record) {
    // Once Shutdown was requested (possibly by a callback of this batch), no
    // further callback starts.
    if (record == nullptr || Stopping()) return;
    J1708Types::J1708Message message;
    if (!PlatformServices::J1708::Decode(*record, message)) return;

    if (const std::shared_ptr<const Tables> tables = tables_.Current()) {
        const auto found = tables->ReceiveTable.find(message.Mid);
        if (found != tables->ReceiveTable.end() && found->second->Callback != nullptr) {
            const J1708ReceiveTableEntry& row = *found->second;
            row.Callback(row.Context, message.Mid, message.Checksum, message.Priority, message.Data,
                         message.Length);
            return;
        }
    }
    ReceiveAll all;
    {
        MutexLock guard(receiveAllLock_);
        all = receiveAll_;
    }
    if (all.Enabled && all.Callback != nullptr) {
        all.Callback(all.Context, message.Mid, message.Checksum, message.Priority, message.Data, message.Length);
    }
}

}  // namespace Internal
}  // namespace CustomApplication
