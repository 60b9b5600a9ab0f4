// Thread rule: owned by the private instance. Application threads run the
// EEPROM operations, one at a time per instance (Turn); the listener thread
// stores each reply in the slot and then sets ReplyEvent. ReplyLock guards
// the slot and is held only to store a reply or to copy one out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "ManualResetEvent.h"
#include "common/RequestTurn.h"
#include "common/Mutex.h"

namespace CustomApplication {
namespace Internal {

// The platform-kept persistent bytes of this application: the reply slot of
// its blocking requests.
class VirtualEEPROM {
public:
    // Bytes that one read or write moves at most.
    static constexpr std::size_t kDataBytes = 1024;
    // What each reply kind answers.
    enum Kind : std::int32_t { KindRead = 0, KindWrite = 1, KindState = 2, KindSave = 3, KindDestroy = 4 };

    VirtualEEPROM() = default;
    VirtualEEPROM(const VirtualEEPROM&) = delete;
    VirtualEEPROM& operator=(const VirtualEEPROM&) = delete;

    // The last reply stored.
    std::int32_t ReplyKind GUARDED_BY(ReplyLock) = -1;
    std::uint32_t ReplyAddress GUARDED_BY(ReplyLock) = 0;
    std::int32_t ReplyLength GUARDED_BY(ReplyLock) = 0;
    std::int32_t ReplyResult GUARDED_BY(ReplyLock) = 0;
    std::uint8_t ReplyData[kDataBytes] GUARDED_BY(ReplyLock) = {};  // data of the last successful read reply
    PlatformServices::ManualResetEvent ReplyEvent;

    Mutex ReplyLock;
    RequestTurn Turn;
};

}  // namespace Internal
}  // namespace CustomApplication
