// Thread rule: owned by the private instance; see TarvexInterfacePrivate.h
// for which threads enter it.
#pragma once

#include <cstdint>

namespace CustomApplication {
namespace Internal {

// SAE J1939 controller applications of this instance.
class J1939 {
public:
    // Resets the uid counter; called by Init.
    void Init() { NextCAUid = 1; }

    std::int32_t NextCAUid = 1;
};

}  // namespace Internal
}  // namespace CustomApplication
