// Thread rule: owned by the private instance; see TarvexInterfacePrivate.h
// for which threads enter it.
#pragma once

#include <cstdint>

namespace CustomApplication {
namespace Internal {

// Plug-in jobs; exists in plug-in mode only.
class Plugin {
public:
    Plugin() = default;
};

}  // namespace Internal
}  // namespace CustomApplication
