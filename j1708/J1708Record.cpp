#include "j1708/J1708Record.h"

#include <algorithm>
#include <cstring>

namespace PlatformServices {
namespace J1708 {

void EncodeRow(std::uint8_t mid, std::uint8_t priority, const std::uint8_t* data, std::uint8_t length,
               J1708Message& record) {
    record = J1708Message{};
    const std::uint8_t bytes = std::min(length, CustomApplication::J1708Types::MaxDataLength);
    record.Priority = priority;
    record.Count = static_cast<std::uint8_t>(bytes + 1);
    record.Frame[0] = mid;
    if (bytes > 0 && data != nullptr) std::memcpy(&record.Frame[1], data, bytes);
}

void EncodeMessage(const CustomApplication::J1708Types::J1708Message& message, J1708Message& record) {
    record = J1708Message{};
    const std::uint8_t bytes = std::min(message.Length, CustomApplication::J1708Types::MaxDataLength);
    record.Priority = message.Priority;
    record.Count = static_cast<std::uint8_t>(std::min<int>(message.Length + 1, kMaxMessageCount));
    record.Frame[0] = message.Mid;
    std::memcpy(&record.Frame[1], message.Data, bytes);
}

bool Decode(const J1708Message& record, CustomApplication::J1708Types::J1708Message& message) {
    if (record.Count < 2 || record.Count > kMaxDeliveredCount) return false;
    message = CustomApplication::J1708Types::J1708Message{};
    message.Mid = record.Frame[0];
    message.Checksum = record.Frame[record.Count - 1];
    if (record.Count > 2) {
        message.Length = static_cast<std::uint8_t>(record.Count - 2);
        std::memcpy(message.Data, &record.Frame[1], message.Length);
    }
    return true;
}

}  // namespace J1708
}  // namespace PlatformServices
