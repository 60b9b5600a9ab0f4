// The facade's CAN operations: the SDK-mode gate, then the private object.
#include <customapp/TarvexInterface.h>

#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

namespace {
bool CANAllowed(const TarvexInterfacePrivate* d) {
    return d != nullptr && d->IsServiceAllowed(TarvexInterfacePrivate::ServiceCAN);
}
}  // namespace

std::int32_t TarvexInterface::CANInit(CoreTypes::CANBus bus, CANTypes::CANReceiveTableEntry* receiveTable,
                                      std::int32_t receiveCount, CANTypes::CANTransmitTableEntry* transmitTable,
                                      std::int32_t transmitCount) {
    if (!CANAllowed(d)) return -13;
    return d->CANInit(bus, receiveTable, receiveCount, transmitTable, transmitCount);
}

std::int32_t TarvexInterface::CANSendMessage(std::int32_t uid, std::int32_t index) {
    if (!CANAllowed(d)) return -13;
    return d->CANSendMessage(uid, index);
}

std::int32_t TarvexInterface::CANSendMessage(CANTypes::CANMessage* message) {
    if (!CANAllowed(d)) return -13;
    return d->CANSendMessage(static_cast<const CANTypes::CANMessage*>(message));
}

std::int32_t TarvexInterface::CANUpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                                   unsigned char length) {
    if (!CANAllowed(d)) return -13;
    return d->CANUpdateMessageData(uid, index, data, length);
}

std::int32_t TarvexInterface::CANRegisterReceiveAllMessages(CoreTypes::CANBus bus, CANTypes::FrameType type,
                                                            CANTypes::CANReceiveCallback callback, void* context) {
    if (d == nullptr) return -12;
    return d->CANRegisterReceiveAllMessages(bus, type, callback, context);
}

}  // namespace CustomApplication
