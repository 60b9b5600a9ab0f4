// The facade's EEPROM operations: the mode gate, then the private object.
#include "core/TarvexInterfacePrivate.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {

bool EEPROMAllowed(const TarvexInterfacePrivate* d) {
    return d != nullptr && d->ServiceAvailable(TarvexInterfacePrivate::ServiceEEPROM);
}
}  // namespace

std::int32_t TarvexInterface::EEPROMRead(std::uint32_t address, unsigned char* data, std::int32_t length) {
    if (!EEPROMAllowed(d)) return kNotAllowed;
    return d->EEPROMRead(address, data, length);
}

std::int32_t TarvexInterface::EEPROMWrite(std::uint32_t address, const unsigned char* data, std::int32_t length) {
    if (!EEPROMAllowed(d)) return kNotAllowed;
    return d->EEPROMWrite(address, data, length);
}

std::int32_t TarvexInterface::EEPROMGetState() {
    if (!EEPROMAllowed(d)) return Internal::VirtualEEPROM::kStateUnknown;
    return d->EEPROMGetState();
}

std::int32_t TarvexInterface::EEPROMSave() {
    if (!EEPROMAllowed(d)) return kNotAllowed;
    return d->EEPROMSave();
}

std::int32_t TarvexInterface::EEPROMDestroy() {
    if (!EEPROMAllowed(d)) return kNotAllowed;
    return d->EEPROMDestroy();
}

}  // namespace CustomApplication
