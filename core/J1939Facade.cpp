#include <customapp/TarvexInterface.h>

#include "core/TarvexInterfacePrivate.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
bool J1939Allowed(const TarvexInterfacePrivate* d) {
    return d != nullptr && d->ServiceAvailable(TarvexInterfacePrivate::ServiceJ1939);
}
}  // namespace

std::int32_t TarvexInterface::J1939CreateCA(CoreTypes::CANBus bus, unsigned char address,
                                            const J1939Types::J1939Name* name,
                                            J1939Types::J1939ReceiveTableEntry* receiveTable,
                                            std::int32_t receiveCount,
                                            J1939Types::J1939TransmitTableEntry* transmitTable,
                                            std::int32_t transmitCount) {
    if (!J1939Allowed(d)) return kNotAllowed;
    return d->J1939CreateCA(bus, address, name, receiveTable, receiveCount, transmitTable, transmitCount, false);
}

std::int32_t TarvexInterface::J1939AttachToPlatformCA(CoreTypes::CANBus bus,
                                                      J1939Types::J1939ReceiveTableEntry* receiveTable,
                                                      std::int32_t receiveCount,
                                                      J1939Types::J1939TransmitTableEntry* transmitTable,
                                                      std::int32_t transmitCount) {
    if (!J1939Allowed(d)) return kNotAllowed;
    return d->J1939CreateCA(bus, 0, nullptr, receiveTable, receiveCount, transmitTable, transmitCount, true);
}

std::int32_t TarvexInterface::J1939GetSourceAddressFromCA(std::int32_t uid, unsigned char* address) {
    if (d == nullptr) return kNotFound;
    return d->J1939GetSourceAddressFromCA(uid, address);
}

std::int32_t TarvexInterface::J1939SendMessage(std::int32_t uid, std::int32_t index) {
    if (!J1939Allowed(d)) return kNotAllowed;
    return d->J1939SendMessage(uid, index);
}

std::int32_t TarvexInterface::J1939SendMessage(J1939Types::J1939Message* message) {
    if (!J1939Allowed(d)) return kNotAllowed;
    return d->J1939SendMessage(message);
}

std::int32_t TarvexInterface::J1939UpdateMessageData(std::int32_t uid, std::int32_t index,
                                                     const unsigned char* data, std::int32_t length) {
    if (!J1939Allowed(d)) return kNotAllowed;
    return d->J1939UpdateMessageData(uid, index, data, length);
}

std::int32_t TarvexInterface::J1939RegisterReceiveAllMessages(std::int32_t uid,
                                                              J1939Types::J1939ReceiveCallback callback,
                                                              void* context) {
    if (!J1939Allowed(d)) return kNotAllowed;
    return d->J1939RegisterReceiveAllMessages(uid, callback, context);
}

}  // namespace CustomApplication
