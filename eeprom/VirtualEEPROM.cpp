#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

void TarvexInterfacePrivate::EEPROMHandleIPC(const PlatformServices::QRVMessage& /*child*/,
                                             std::int32_t /*sourceAddress*/) {}

}  // namespace CustomApplication
