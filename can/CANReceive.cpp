// Reception: frame records from the platform to the application's callbacks.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "can/CAN.h"
#include "common/BusMapping.h"
#include "common/Result.h"

namespace CustomApplication {
namespace Internal {

namespace {
constexpr std::uint8_t kMaxPayload = 8;
}  // namespace

void CAN::HandleMessages(const PlatformServices::QRVMessage::ChildList& children) {
    for (const auto& child : children) {
        if (!child || child->GetCommand() != PlatformServices::CANIPC::kReceivedFrame) continue;
        if (child->GetData() == nullptr || child->GetLength() != sizeof(PlatformServices::CANIPC::Message)) {
            continue;
        }
        PlatformServices::CANIPC::Message record;
        std::memcpy(&record, child->GetData(), sizeof record);
        // Checked per frame, so the frames after a change see the new tables.
        const CoreTypes::CANBus bus = ToSDKBus(record.Bus);
        Deliver(&record, bus, listenerView_.OnBus(interfaces_, bus));
    }
}

void CAN::Receive(const PlatformServices::CANIPC::Message* record) {
    if (record == nullptr) return;
    // The snapshot keeps the rows alive until the delivery ends.
    const InterfaceSnapshot interfaces = interfaces_.Current();
    const CoreTypes::CANBus bus = ToSDKBus(record->Bus);
    Deliver(record, bus, OnBus(interfaces.get(), bus));
}

void CAN::Deliver(const PlatformServices::CANIPC::Message* record, CoreTypes::CANBus bus,
                  const CANInterface* target) {
    // No callback starts once Shutdown has begun, also not for the rest of a
    // batch in hand when a callback called it.
    if (Stopping()) return;
    const std::uint32_t identifier = record->Identifier;
    const unsigned char* data = record->Data;
    // The record holds 8 payload bytes, whatever its length byte claims.
    const unsigned char length = std::min(record->Length, kMaxPayload);

    bool delivered = false;
    if (target != nullptr) {
        delivered = target->ReceiveIndex.ForEachMatch(identifier, record->Extended,
                                                      [&](const CANReceiveTableEntry& row) {
                                                          if (Stopping()) return false;
                                                          row.Callback(row.Context, bus, identifier, row.Type,
                                                                       data, length);
                                                          return true;
                                                      });
    }
    if (delivered) return;

    const CANTypes::FrameType type = record->Extended == 1 ? CANTypes::Extended : CANTypes::Standard;
    ReceiveAllFilter filter{};
    if (!FindReceiveAllFilter(bus, type, &filter)) return;
    if (Stopping()) return;
    filter.Callback(filter.Context, bus, identifier, type, data, length);
}

std::int32_t CAN::RegisterReceiveAllMessages(CoreTypes::CANBus bus, CANTypes::FrameType type,
                                             CANTypes::CANReceiveCallback callback, void* context) {
    if (callback == nullptr || !IsBus(bus)) return kInvalidArgument;
    if (!DoesInterfaceExist(bus)) return kNoInterface;
    const RegistrationScope registration(sink_);
    if (!registration.Held()) return kPlatformBusy;
    const std::int32_t added = AddReceiveAllFilter(ReceiveAllFilter{bus, type, callback, context});
    if (added != 0) return added;
    PlatformServices::CANIPC::AddSubscriptionData everything{};
    everything.Bus = ToIPCBus(bus);
    const int written = PlatformServices::CANIPC::AddSubscription(&everything, sink_);
    // Kept for the next connection when this one is gone; dropped again when
    // the platform did not take it.
    if (!NotTaken(written)) return 0;
    RemoveReceiveAllFilter(bus, type);
    return written;
}

}  // namespace Internal
}  // namespace CustomApplication
