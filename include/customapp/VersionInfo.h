// Thread rule: a VersionInfo is a plain record; the application that received
// it owns it and may use it from any one thread at a time.
#pragma once

#include <cstdint>

namespace PlatformServices {
namespace Helper {

// Version record of a platform component. Plain data: allocate it with new,
// release it with delete.
struct VersionInfo {
    std::int32_t Major = 0;
    std::int32_t Minor = 0;
    std::int32_t Revision = 0;
    std::int32_t Build = 0;
    std::uint32_t Flags = 0;          // set by the constructor, no meaning to applications
    char Name[64] = {};               // NUL-terminated
    std::int32_t InterfaceVersion = 0;
    char PartNumber[16] = {};         // NUL-terminated
};

}  // namespace Helper
}  // namespace PlatformServices
