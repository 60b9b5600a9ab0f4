// The facade's J1708 operations: the mode gate, then the private object.
#include "core/TarvexInterfacePrivate.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
bool J1708Allowed(const TarvexInterfacePrivate* d) {
    return d != nullptr && d->ServiceAvailable(TarvexInterfacePrivate::ServiceJ1708);
}
}  // namespace

std::int32_t TarvexInterface::J1708Init(J1708Types::J1708ReceiveTableEntry* receiveTable, std::int32_t receiveCount,
                                        J1708Types::J1708TransmitTableEntry* transmitTable,
                                        std::int32_t transmitCount) {
    if (!J1708Allowed(d)) return kNotAllowed;
    return d->J1708Init(receiveTable, receiveCount, transmitTable, transmitCount);
}

std::int32_t TarvexInterface::J1708SendMessage(std::int32_t index) {
    if (!J1708Allowed(d)) return kNotAllowed;
    return d->J1708SendMessage(index);
}

std::int32_t TarvexInterface::J1708SendMessage(J1708Types::J1708Message* message) {
    if (!J1708Allowed(d)) return kNotAllowed;
    return d->J1708SendMessage(static_cast<const J1708Types::J1708Message*>(message));
}

std::int32_t TarvexInterface::J1708UpdateMessageData(std::int32_t index, const unsigned char* data,
                                                     unsigned char length) {
    if (!J1708Allowed(d)) return kNotAllowed;
    return d->J1708UpdateMessageData(index, data, length);
}

void TarvexInterface::J1708RegisterReceiveAllMessages(J1708Types::J1708ReceiveCallback callback, void* context) {
    if (d != nullptr) d->J1708RegisterReceiveAllMessages(callback, context);
}

}  // namespace CustomApplication
