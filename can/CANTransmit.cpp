// Sending rows and free-standing frames, and replacing row payloads.
#include <algorithm>
#include <cstring>
#include <new>

#include "Helper.h"
#include "can/CAN.h"
#include "common/BusMapping.h"
#include "common/Result.h"
#include "common/TransmitRow.h"

namespace CustomApplication {
namespace Internal {

namespace {
constexpr unsigned char kMaxPayload = 8;

// The row `index` of `found`, or null.
CAN::CANTransmitTableEntry* RowAt(const CAN::CANInterface* found, std::int32_t index) {
    if (found == nullptr || index < 0 || static_cast<std::size_t>(index) >= found->TransmitTable.size()) {
        return nullptr;
    }
    return found->TransmitTable[static_cast<std::size_t>(index)].get();
}
}  // namespace

std::int32_t CAN::SendMessage(std::int32_t uid, std::int32_t index) {
    // Holding the interface keeps the row alive through the send, even
    // should Shutdown release the interfaces meanwhile.
    const std::shared_ptr<CANInterface> found = InterfaceFromUid(uid);
    CANTransmitTableEntry* row = RowAt(found.get(), index);
    if (row == nullptr) return kNotFound;
    return SendMessage(row, found->Bus);
}

std::int32_t CAN::SendMessage(CANTransmitTableEntry* row, CoreTypes::CANBus bus) {
    if (row == nullptr) return kInvalidArgument;
    const std::int32_t result = WriteRow(*row, bus, sink_);
    if (result == 0) MarkSent(*row);
    return result;
}

std::int32_t CAN::WriteRow(CANTransmitTableEntry& row, CoreTypes::CANBus bus, MessageSink& sink) {
    CANTypes::CANMessage message{};
    message.Bus = bus;
    message.Identifier = row.Identifier;
    message.Type = row.Type;
    ReadPayload(row, [&](const unsigned char* data, std::size_t length) {
        message.Length = static_cast<unsigned char>(std::min<std::size_t>(length, kMaxPayload));
        if (message.Length > 0) std::memcpy(message.Data, data, message.Length);
    });
    return WriteMessage(&message, sink);
}

std::int32_t CAN::SendMessage(const CANTypes::CANMessage* message) { return WriteMessage(message, sink_); }

std::int32_t CAN::WriteMessage(const CANTypes::CANMessage* message, MessageSink& sink) {
    if (message == nullptr) return kInvalidArgument;
    if (!IsBus(message->Bus) || !IdentifierFits(message->Identifier, message->Type)) return kInvalidArgument;
    if (message->Length > kMaxPayload) return kTooLong;
    PlatformServices::CANIPC::Message record{};
    record.Identifier = message->Identifier;
    record.Extended = message->Type == CANTypes::Extended ? 1 : 0;
    record.Bus = ToIPCBus(message->Bus);
    record.Length = message->Length;
    std::memcpy(record.Data, message->Data, record.Length);
    return sink.Send(PlatformServices::CANIPC::kCategory, PlatformServices::CANIPC::kAddress,
                     PlatformServices::CANIPC::kSendFrame, &record, sizeof record);
}

std::int32_t CAN::UpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                   unsigned char length) {
    if (data == nullptr || length > kMaxPayload) return kInvalidArgument;
    const std::shared_ptr<CANInterface> found = InterfaceFromUid(uid);
    CANTransmitTableEntry* row = RowAt(found.get(), index);
    if (row == nullptr) return kNotFound;

    return UpdatePayload(*row, data, length);
}

}  // namespace Internal
}  // namespace CustomApplication
