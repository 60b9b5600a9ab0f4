#include "services/CanService.h"
#include "services/SubscriptionTable.h"

#include <cstdio>

#include "services/Wire.h"

namespace gatewaysim {

void CanService::Refuse(std::int32_t source, std::int32_t command, const std::string& reason) {
    host_.Report("application " + std::to_string(source) + ": CAN command " + std::to_string(command) +
                 " refused: " + reason);
}

void CanService::Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data,
                        std::size_t length) {
    switch (command) {
        case can::kCmdSubscribe:
        case can::kCmdUnsubscribe: {
            if (data == nullptr || length != can::kSubscriptionBytes) {
                Refuse(source, command, "payload of " + std::to_string(length) + " bytes, expected 12");
                return;
            }
            Subscription s{data[0], GetU32(data + 4), GetU32(data + 8)};
            if (s.bus >= kCanBusCount) {
                Refuse(source, command, "no bus " + std::to_string(s.bus));
                return;
            }
            const char* refusal = UpdateSubscriptions(
                subscriptions_, source, s, command == can::kCmdSubscribe, [](const Subscription& a, const Subscription& b) {
                    return a.bus == b.bus && a.id == b.id && a.mask == b.mask;
                });
            if (refusal != nullptr) Refuse(source, command, refusal);
            return;
        }
        case can::kCmdUnsubscribeAll:
            subscriptions_.erase(source);
            return;
        case can::kCmdSend: {
            if (data == nullptr || length != can::kFrameRecordBytes) {
                Refuse(source, command, "payload of " + std::to_string(length) + " bytes, expected 16");
                return;
            }
            CanFrame frame;
            frame.id = GetU32(data);
            frame.extended = data[4] == 1;
            frame.bus = data[5];
            frame.length = data[7];
            if (frame.bus >= kCanBusCount) {
                Refuse(source, command, "no bus " + std::to_string(frame.bus));
                return;
            }
            if (frame.length > 8) {
                Refuse(source, command, "length " + std::to_string(frame.length) + " exceeds 8");
                return;
            }
            if (frame.id > (frame.extended ? 0x1FFFFFFFu : 0x7FFu)) {
                char text[64];
                std::snprintf(text, sizeof(text), "identifier %X does not fit a%s frame",
                              static_cast<unsigned>(frame.id), frame.extended ? "n extended" : " standard");
                Refuse(source, command, text);
                return;
            }
            for (std::uint8_t i = 0; i < frame.length; ++i) frame.data[i] = data[8 + i];
            host_.PutOnBus(frame, Origin{Origin::Kind::kApplication, source});
            return;
        }
        default:
            Refuse(source, command, "unknown command");
    }
}

void CanService::Deliver(const CanFrame& frame, const Origin& origin) {
    if (frame.remote) return;
    const bool fromApplication =
        origin.kind == Origin::Kind::kApplication || origin.kind == Origin::Kind::kJ1939;
    std::uint8_t record[can::kFrameRecordBytes] = {};
    PutU32(record, frame.id);
    record[4] = frame.extended ? 1 : 0;
    record[5] = frame.bus;
    record[7] = frame.length;
    for (std::uint8_t i = 0; i < frame.length && i < 8; ++i) record[8 + i] = frame.data[i];
    for (const auto& [address, list] : subscriptions_) {
        if (fromApplication && address == origin.address) continue;
        for (const Subscription& s : list) {
            if (s.bus == frame.bus && ((frame.id ^ s.id) & s.mask) == 0) {
                host_.Send(address, kCategoryCan, can::kCmdReceived, record, sizeof(record));
                break;
            }
        }
    }
}

void CanService::Drop(std::int32_t address) {
    subscriptions_.erase(address);
}

std::vector<std::string> CanService::Describe(std::int32_t address) const {
    std::vector<std::string> lines;
    const auto it = subscriptions_.find(address);
    if (it == subscriptions_.end()) return lines;
    for (const Subscription& s : it->second) {
        char text[80];
        std::snprintf(text, sizeof(text), "CAN subscription can%u id %X mask %X", s.bus,
                      static_cast<unsigned>(s.id), static_cast<unsigned>(s.mask));
        lines.emplace_back(text);
    }
    return lines;
}

}  // namespace gatewaysim
