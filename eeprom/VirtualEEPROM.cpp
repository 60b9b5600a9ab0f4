// Replies of the platform's EEPROM service, stored by the listener thread.
#include <algorithm>
#include <cstring>

#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

namespace {
constexpr std::size_t kReadReplyBytes = 1036;
constexpr std::size_t kWriteReplyBytes = 12;
constexpr std::size_t kValueReplyBytes = 4;

std::int32_t ReadInt(const std::uint8_t* bytes) {
    std::int32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}
}  // namespace

void TarvexInterfacePrivate::EEPROMHandleIPC(const PlatformServices::QRVMessage& child,
                                             std::int32_t /*sourceAddress*/) {
    const std::uint8_t* data = child.GetData();
    const std::size_t length = child.GetLength();
    if (data == nullptr) return;
    const std::int32_t command = child.GetCommand();
    {
        MutexLock guard(eeprom.ReplyLock);
        switch (command) {
            case 2:
            case 4: {
                if (length != (command == 2 ? kReadReplyBytes : kWriteReplyBytes)) return;
                eeprom.ReplyKind = command == 2 ? VirtualEEPROM::KindRead : VirtualEEPROM::KindWrite;
                std::memcpy(&eeprom.ReplyAddress, data, sizeof eeprom.ReplyAddress);
                eeprom.ReplyLength = ReadInt(data + 4);
                eeprom.ReplyResult = ReadInt(data + 8);
                if (command == 2 && eeprom.ReplyResult == 0) {
                    // Never more than the slot holds, nothing for a negative count.
                    const std::size_t count = static_cast<std::size_t>(
                        std::clamp<std::int64_t>(eeprom.ReplyLength, 0, VirtualEEPROM::kDataBytes));
                    std::memcpy(eeprom.ReplyData, data + 12, count);
                }
                break;
            }
            case 6:
            case 8:
            case 10:
                if (length != kValueReplyBytes) return;
                eeprom.ReplyKind = command == 6 ? VirtualEEPROM::KindState
                                   : command == 8 ? VirtualEEPROM::KindSave
                                                  : VirtualEEPROM::KindDestroy;
                eeprom.ReplyResult = ReadInt(data);
                break;
            default:
                return;
        }
    }
    eeprom.ReplyEvent.Set();
}

}  // namespace CustomApplication
