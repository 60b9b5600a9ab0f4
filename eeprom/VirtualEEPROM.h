// Thread rule: owned by the private instance; see TarvexInterfacePrivate.h
// for which threads enter it.
#pragma once

#include <cstdint>

namespace CustomApplication {
namespace Internal {

// The platform-kept persistent bytes of this application.
class VirtualEEPROM {
public:
    VirtualEEPROM() = default;
};

}  // namespace Internal
}  // namespace CustomApplication
