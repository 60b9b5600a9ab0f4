#include "eeprom/VirtualEEPROM.h"

#include <algorithm>
#include <cstring>

#include "common/RequestExchange.h"
#include "common/Result.h"

namespace CustomApplication {
namespace Internal {

namespace {
constexpr std::int32_t kCategory = 22;
constexpr std::int32_t kAddress = 22;
constexpr std::int32_t kTimeoutMs = 500;

enum Command : std::int32_t { Read = 1, Write = 3, GetState = 5, Save = 7, Destroy = 9 };

constexpr std::size_t kWriteHeaderBytes = 8;
constexpr std::size_t kReadReplyBytes = 1036;
constexpr std::size_t kWriteReplyBytes = 12;
constexpr std::size_t kValueReplyBytes = 4;

std::int32_t ReadInt(const std::uint8_t* bytes) {
    std::int32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}
}  // namespace

std::int32_t VirtualEEPROM::Exchange(std::int32_t command, const void* request, std::size_t requestLength,
                                     Kind kind, std::int32_t& result, unsigned char* readInto,
                                     std::int32_t length) {
    Request asked;
    asked.kind = kind;
    if (asked.Addressed()) std::memcpy(&asked.address, request, sizeof asked.address);
    Reply reply;
    const std::int32_t outcome = exchange_.Exchange(
        kTimeoutMs, asked,
        // A request the platform did not take (held up, or the connection
        // lost) fails the call at once with the write's result.
        [&] { return sink_.Send(kCategory, kAddress, command, request, requestLength); }, sink_, &reply);
    if (outcome != 0) return outcome;
    result = reply.result;
    // A success must be for every byte asked for: a shorter (or longer)
    // count is not what was asked, and nothing of it is returned.
    const bool whole = reply.length == length && length >= 0 && length <= static_cast<std::int32_t>(kDataBytes);
    if (asked.Addressed() && result == 0 && !whole) result = kUnexpectedReply;
    if (readInto != nullptr && result == 0) std::memcpy(readInto, reply.data, static_cast<std::size_t>(length));
    return 0;
}

std::int32_t VirtualEEPROM::Read(std::uint32_t address, unsigned char* data, std::int32_t length) {
    if (data == nullptr) return kInvalidArgument;
    std::uint8_t request[8];
    std::memcpy(request, &address, 4);
    std::memcpy(request + 4, &length, 4);
    std::int32_t result = 0;
    const std::int32_t outcome = Exchange(Command::Read, request, sizeof request, KindRead, result, data, length);
    return outcome != 0 ? outcome : result;
}

std::int32_t VirtualEEPROM::Write(std::uint32_t address, const unsigned char* data, std::int32_t length) {
    if (data == nullptr || length < 0 || length > static_cast<std::int32_t>(kDataBytes)) return kInvalidArgument;
    // Always sent whole; the data area beyond the caller's bytes is zero.
    std::uint8_t request[kWriteHeaderBytes + kDataBytes] = {};
    std::memcpy(request, &address, 4);
    std::memcpy(request + 4, &length, 4);
    std::memcpy(request + kWriteHeaderBytes, data, static_cast<std::size_t>(length));
    std::int32_t result = 0;
    const std::int32_t outcome = Exchange(Command::Write, request, sizeof request, KindWrite, result, nullptr, length);
    return outcome != 0 ? outcome : result;
}

std::int32_t VirtualEEPROM::GetState() {
    std::int32_t result = 0;
    if (Exchange(Command::GetState, nullptr, 0, KindState, result) != 0) return kStateUnknown;
    return (result >= 0 && result <= 5) ? result : kStateUnknown;
}

std::int32_t VirtualEEPROM::Save() {
    std::int32_t result = 0;
    const std::int32_t outcome = Exchange(Command::Save, nullptr, 0, KindSave, result);
    return outcome != 0 ? outcome : result;
}

std::int32_t VirtualEEPROM::Destroy() {
    std::int32_t result = 0;
    const std::int32_t outcome = Exchange(Command::Destroy, nullptr, 0, KindDestroy, result);
    return outcome != 0 ? outcome : result;
}

void VirtualEEPROM::HandleReply(std::int32_t command, const std::uint8_t* data, std::size_t length) {
    if (data == nullptr) return;
    Reply reply;
    switch (command) {
        case 2:
        case 4: {
            if (length != (command == 2 ? kReadReplyBytes : kWriteReplyBytes)) return;
            reply.kind = command == 2 ? KindRead : KindWrite;
            std::memcpy(&reply.address, data, sizeof reply.address);
            reply.length = ReadInt(data + 4);
            reply.result = ReadInt(data + 8);
            if (command == 2 && reply.result == 0) {
                // Never more than the reply holds, nothing for a negative count.
                const std::size_t count =
                    static_cast<std::size_t>(std::clamp<std::int64_t>(reply.length, 0, kDataBytes));
                std::memcpy(reply.data, data + 12, count);
            }
            break;
        }
        case 6:
        case 8:
        case 10:
            if (length != kValueReplyBytes) return;
            reply.kind = command == 6 ? KindState : command == 8 ? KindSave : KindDestroy;
            reply.result = ReadInt(data);
            break;
        default:
            return;
    }
    (void)exchange_.Offer(reply);
}

}  // namespace Internal
}  // namespace CustomApplication
