#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

void TarvexInterfacePrivate::CANIPCHandler(const PlatformServices::QRVMessage::ChildList& /*children*/,
                                           std::int32_t /*sourceAddress*/) {}

std::int64_t TarvexInterfacePrivate::CANService() { return kNothingScheduled; }

void TarvexInterfacePrivate::CANShutdown() {}

}  // namespace CustomApplication
