#include "services/J1708Service.h"

#include "services/Wire.h"

namespace gatewaysim {

void J1708Service::Refuse(std::int32_t source, std::int32_t command, const std::string& reason) {
    host_.Report("application " + std::to_string(source) + ": J1708 command " + std::to_string(command) +
                 " refused: " + reason);
}

void J1708Service::Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data,
                          std::size_t length) {
    if (data == nullptr) length = 0;
    switch (command) {
        case j1708::kCmdSubscribe:
            subscribers_.insert(source);
            return;
        case j1708::kCmdUnsubscribe:
            subscribers_.erase(source);
            return;
        case j1708::kCmdSend: {
            // The record is 33 bytes; a shorter one still counts if it holds
            // every byte that its count announces.
            if (length < 3 || length > j1708::kRecordBytes) {
                Refuse(source, command, "payload of " + std::to_string(length) + " bytes, expected 33");
                return;
            }
            const std::size_t count = data[2];
            if (count == 0) {
                Refuse(source, command, "empty frame");
                return;
            }
            if (count > j1708::kMaxBusFrame - 1) {
                Refuse(source, command,
                       "frame of " + std::to_string(count) + " bytes is longer than the bus allows (" +
                           std::to_string(j1708::kMaxBusFrame - 1) + " bytes and the checksum)");
                return;
            }
            if (3 + count > length) {
                Refuse(source, command, "count " + std::to_string(count) + " runs past the payload");
                return;
            }
            J1708Frame frame;
            frame.mid = data[3];
            frame.length = static_cast<std::uint8_t>(count - 1);
            for (std::size_t i = 0; i < frame.length; ++i) frame.data[i] = data[4 + i];
            frame.checksum = J1708Checksum(frame.mid, frame.data, frame.length);
            host_.PutOnJ1708(frame, Origin{Origin::Kind::kApplication, source});
            return;
        }
        default:
            Refuse(source, command, "unknown command");
    }
}

void J1708Service::Deliver(const J1708Frame& frame, const Origin& origin) {
    std::uint8_t record[j1708::kRecordBytes] = {};
    const std::size_t dataBytes = frame.length > sizeof(frame.data) ? sizeof(frame.data) : frame.length;
    record[2] = static_cast<std::uint8_t>(dataBytes + 2);
    record[3] = frame.mid;
    for (std::size_t i = 0; i < dataBytes; ++i) record[4 + i] = frame.data[i];
    record[4 + dataBytes] = frame.checksum;
    const bool fromApplication = origin.kind == Origin::Kind::kApplication;
    for (const std::int32_t address : subscribers_) {
        if (fromApplication && address == origin.address) continue;
        host_.Send(address, kCategoryJ1708, j1708::kCmdReceived, record, sizeof(record));
    }
}

std::vector<std::string> J1708Service::Describe(std::int32_t address) const {
    if (subscribers_.count(address) == 0) return {};
    return {"J1708 subscription"};
}

}  // namespace gatewaysim
