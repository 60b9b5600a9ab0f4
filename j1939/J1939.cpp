#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

void TarvexInterfacePrivate::J1939IPCHandler(const PlatformServices::QRVMessage::ChildList& /*children*/,
                                             std::int32_t /*sourceAddress*/) {}

std::int64_t TarvexInterfacePrivate::J1939Service() { return kNothingScheduled; }

void TarvexInterfacePrivate::J1939Shutdown() {}

}  // namespace CustomApplication
