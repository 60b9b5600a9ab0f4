// Thread rule: owned by the private instance; see TarvexInterfacePrivate.h
// for which threads enter it.
#pragma once

#include <cstdint>

namespace CustomApplication {
namespace Internal {

// The SAE J1708 bus: one receive and one transmit table.
class J1708 {
public:
    // Clears the registration state; called by Init.
    void Init() { Initialised = false; }

    bool Initialised = false;
};

}  // namespace Internal
}  // namespace CustomApplication
