#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

void TarvexInterfacePrivate::J1708IPCHandler(const PlatformServices::QRVMessage::ChildList& /*children*/,
                                             std::int32_t /*sourceAddress*/) {}

std::int64_t TarvexInterfacePrivate::J1708Service() { return kNothingScheduled; }

void TarvexInterfacePrivate::J1708Shutdown() {}

}  // namespace CustomApplication
