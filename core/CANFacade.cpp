// The facade's CAN operations: the SDK-mode gate, then the private object.
#include <customapp/TarvexInterface.h>

#include "core/TarvexInterfacePrivate.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
// 0 when the call may proceed, else its result: -12 when the instance could
// not be created, -13 when the SDK mode does not allow CAN.
std::int32_t Gate(const TarvexInterfacePrivate* d) {
    if (d == nullptr) return kOutOfMemory;
    return d->ServiceAvailable(TarvexInterfacePrivate::ServiceCAN) ? 0 : kNotAllowed;
}
}  // namespace

std::int32_t TarvexInterface::CANInit(CoreTypes::CANBus bus, CANTypes::CANReceiveTableEntry* receiveTable,
                                      std::int32_t receiveCount, CANTypes::CANTransmitTableEntry* transmitTable,
                                      std::int32_t transmitCount) {
    if (const std::int32_t refused = Gate(d)) return refused;
    return d->CANInit(bus, receiveTable, receiveCount, transmitTable, transmitCount);
}

std::int32_t TarvexInterface::CANSendMessage(std::int32_t uid, std::int32_t index) {
    if (const std::int32_t refused = Gate(d)) return refused;
    return d->CANSendMessage(uid, index);
}

std::int32_t TarvexInterface::CANSendMessage(CANTypes::CANMessage* message) {
    if (const std::int32_t refused = Gate(d)) return refused;
    return d->CANSendMessage(static_cast<const CANTypes::CANMessage*>(message));
}

std::int32_t TarvexInterface::CANUpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                                   unsigned char length) {
    if (const std::int32_t refused = Gate(d)) return refused;
    return d->CANUpdateMessageData(uid, index, data, length);
}

std::int32_t TarvexInterface::CANRegisterReceiveAllMessages(CoreTypes::CANBus bus, CANTypes::FrameType type,
                                                            CANTypes::CANReceiveCallback callback, void* context) {
    if (d == nullptr) return kOutOfMemory;
    return d->CANRegisterReceiveAllMessages(bus, type, callback, context);
}

}  // namespace CustomApplication
