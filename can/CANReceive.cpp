// Reception: frame records from the platform to the application's callbacks.
#include <algorithm>
#include <cstring>

#include "core/TarvexInterfacePrivate.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
constexpr std::uint8_t kMaxPayload = 8;
}  // namespace

void TarvexInterfacePrivate::CANIPCHandler(const PlatformServices::QRVMessage::ChildList& children,
                                           std::int32_t /*sourceAddress*/) {
    for (const auto& child : children) {
        if (!child || child->GetCommand() != PlatformServices::CANIPC::kReceivedFrame) continue;
        if (child->GetData() == nullptr || child->GetLength() != sizeof(PlatformServices::CANIPC::Message)) {
            continue;
        }
        PlatformServices::CANIPC::Message record;
        std::memcpy(&record, child->GetData(), sizeof record);
        // Checked per frame, so the frames after a change see the new tables.
        const CoreTypes::CANBus bus = IPCCANBusToSDKBus(record.Bus);
        CANDeliver(&record, bus, listenerCANInterfaces.OnBus(can, bus));
    }
}

void TarvexInterfacePrivate::CANReceive(const PlatformServices::CANIPC::Message* record) {
    if (record == nullptr) return;
    // The snapshot keeps the rows alive until the delivery ends.
    const CAN::InterfaceSnapshot interfaces = can.Snapshot();
    const CoreTypes::CANBus bus = IPCCANBusToSDKBus(record->Bus);
    CANDeliver(record, bus, CAN::OnBus(interfaces.get(), bus));
}

void TarvexInterfacePrivate::CANDeliver(const PlatformServices::CANIPC::Message* record, CoreTypes::CANBus bus,
                                        const CAN::CANInterface* target) {
    // No callback starts once Shutdown has begun, also not for the rest of a
    // batch in hand when a callback called it.
    if (stopRequested.load(std::memory_order_acquire)) return;
    const std::uint32_t identifier = record->Identifier;
    const unsigned char* data = record->Data;
    // The record holds 8 payload bytes, whatever its length byte claims.
    const unsigned char length = std::min(record->Length, kMaxPayload);

    bool delivered = false;
    if (target != nullptr) {
        delivered = target->ReceiveIndex.ForEachMatch(
            identifier, record->Extended, [&](const CAN::CANReceiveTableEntry& row) {
                if (stopRequested.load(std::memory_order_acquire)) return false;
                row.Callback(row.Context, bus, identifier, row.Type, data, length);
                return true;
            });
    }
    if (delivered) return;

    const CANTypes::FrameType type = record->Extended == 1 ? CANTypes::Extended : CANTypes::Standard;
    CAN::ReceiveAllFilter filter{};
    if (!can.FindReceiveAllFilter(bus, type, &filter)) return;
    if (stopRequested.load(std::memory_order_acquire)) return;
    filter.Callback(filter.Context, bus, identifier, type, data, length);
}

std::int32_t TarvexInterfacePrivate::CANRegisterReceiveAllMessages(CoreTypes::CANBus bus, CANTypes::FrameType type,
                                                                   CANTypes::CANReceiveCallback callback,
                                                                   void* context) {
    if (callback == nullptr) return kInvalidArgument;
    if (!CANDoesInterfaceExist(bus)) return kNoInterface;
    const std::int32_t added = can.AddReceiveAllFilter(CAN::ReceiveAllFilter{bus, type, callback, context});
    if (added != 0) return added;
    PlatformServices::CANIPC::AddSubscriptionData everything{};
    everything.Bus = SDKCANBusToIPCBus(bus);
    (void)PlatformServices::CANIPC::AddSubscription(&everything, Sink());
    return 0;
}

}  // namespace CustomApplication
