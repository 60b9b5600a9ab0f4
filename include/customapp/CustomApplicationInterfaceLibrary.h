// Thread rule: GetVersionInfo may be called from any thread, before, during
// and after the life of any TarvexInterface.
#pragma once

#include <cstdint>

#include "Export.h"
#include "VersionInfo.h"

namespace CustomApplication {

class CUSTOMAPP_EXPORT CustomApplicationInterfaceLibrary {
public:
    // Allocates a version record of this library and stores it in `*info`.
    // The caller owns the record and releases it with delete.
    // Results: 0 on success; -22 when `info` is null (nothing is allocated);
    // -12 when the record cannot be allocated.
    static std::int32_t GetVersionInfo(PlatformServices::Helper::VersionInfo** info);
};

}  // namespace CustomApplication
