// The blocking requests to the platform's EEPROM service.
#include <algorithm>
#include <cstring>

#include "core/TarvexInterfacePrivate.h"
#include "common/RequestExchange.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
constexpr std::int32_t kCategory = 22;
constexpr std::int32_t kAddress = 22;
constexpr std::int32_t kTimeoutMs = 500;
// State code reported when there is no valid state to report.
constexpr std::int32_t kStateUnknown = 5;

enum Command : std::int32_t { Read = 1, Write = 3, GetState = 5, Save = 7, Destroy = 9 };

constexpr std::size_t kWriteHeaderBytes = 8;
}  // namespace

void TarvexInterfacePrivate::EEPROMSendRequest(const void* data, std::int32_t length, std::int32_t command) {
    (void)Sink().Send(kCategory, kAddress, command, data,
                      static_cast<std::size_t>(std::max<std::int32_t>(length, 0)));
}

std::int32_t TarvexInterfacePrivate::EEPROMExchange(std::int32_t command, const void* request,
                                                    std::int32_t requestLength, VirtualEEPROM::Kind kind,
                                                    std::int32_t& result, unsigned char* readInto,
                                                    std::int32_t capacity) {
    // Replies carry no request identifier: with one request in flight per
    // instance, the reply that arrives is this caller's.
    return ExchangeWithReply(
        Sink(), eeprom.Turn, eeprom.ReplyEvent, kTimeoutMs,
        [&] { EEPROMSendRequest(request, requestLength, command); },
        [&]() -> std::int32_t {
            // Copied out under the lock: a late duplicate reply cannot change
            // the values half-way.
            MutexLock guard(eeprom.ReplyLock);
            if (eeprom.ReplyKind != kind) return kUnexpectedReply;
            result = eeprom.ReplyResult;
            if (readInto != nullptr && result == 0) {
                const std::int64_t count = std::min<std::int64_t>(
                    {eeprom.ReplyLength, capacity, static_cast<std::int64_t>(VirtualEEPROM::kDataBytes)});
                if (count > 0) std::memcpy(readInto, eeprom.ReplyData, static_cast<std::size_t>(count));
            }
            return 0;
        });
}

std::int32_t TarvexInterfacePrivate::EEPROMRead(std::uint32_t address, unsigned char* data, std::int32_t length) {
    if (data == nullptr) return kInvalidArgument;
    std::uint8_t request[8];
    std::memcpy(request, &address, 4);
    std::memcpy(request + 4, &length, 4);
    std::int32_t result = 0;
    const std::int32_t outcome =
        EEPROMExchange(Read, request, sizeof request, VirtualEEPROM::KindRead, result, data, length);
    return outcome != 0 ? outcome : result;
}

std::int32_t TarvexInterfacePrivate::EEPROMWrite(std::uint32_t address, const unsigned char* data,
                                                 std::int32_t length) {
    if (data == nullptr || length < 0 || length > static_cast<std::int32_t>(VirtualEEPROM::kDataBytes)) return kInvalidArgument;
    // Always sent whole; the data area beyond the caller's bytes is zero.
    std::uint8_t request[kWriteHeaderBytes + VirtualEEPROM::kDataBytes] = {};
    std::memcpy(request, &address, 4);
    std::memcpy(request + 4, &length, 4);
    std::memcpy(request + kWriteHeaderBytes, data, static_cast<std::size_t>(length));
    std::int32_t result = 0;
    const std::int32_t outcome = EEPROMExchange(Write, request, sizeof request, VirtualEEPROM::KindWrite, result);
    return outcome != 0 ? outcome : result;
}

std::int32_t TarvexInterfacePrivate::EEPROMGetState() {
    std::int32_t result = 0;
    if (EEPROMExchange(GetState, nullptr, 0, VirtualEEPROM::KindState, result) != 0) return kStateUnknown;
    return (result >= 0 && result <= 5) ? result : kStateUnknown;
}

std::int32_t TarvexInterfacePrivate::EEPROMSave() {
    std::int32_t result = 0;
    const std::int32_t outcome = EEPROMExchange(Save, nullptr, 0, VirtualEEPROM::KindSave, result);
    return outcome != 0 ? outcome : result;
}

std::int32_t TarvexInterfacePrivate::EEPROMDestroy() {
    std::int32_t result = 0;
    const std::int32_t outcome = EEPROMExchange(Destroy, nullptr, 0, VirtualEEPROM::KindDestroy, result);
    return outcome != 0 ? outcome : result;
}

}  // namespace CustomApplication
