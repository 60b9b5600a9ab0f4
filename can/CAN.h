// Thread rule: owned by the private instance; see TarvexInterfacePrivate.h
// for which threads enter it.
#pragma once

#include <cstdint>

namespace CustomApplication {
namespace Internal {

// Raw CAN: one interface per bus with its receive and transmit tables.
class CAN {
public:
    // Resets the uid counter; called by Init.
    void Init() { NextInterfaceUid = 1; }

    std::int32_t NextInterfaceUid = 1;
};

}  // namespace Internal
}  // namespace CustomApplication
