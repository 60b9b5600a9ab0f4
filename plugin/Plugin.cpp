#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

void TarvexInterfacePrivate::PluginHandleIPC(const PlatformServices::QRVMessage& /*child*/,
                                             std::int32_t /*sourceAddress*/) {}

}  // namespace CustomApplication
