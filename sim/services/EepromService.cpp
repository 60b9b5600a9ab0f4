#include "services/EepromService.h"

#include <cerrno>
#include <cstring>

#include "services/Wire.h"

namespace gatewaysim {

namespace {

const char* StateName(EepromStore::State state) {
    switch (state) {
        case EepromStore::kSaved: return "saved";
        case EepromStore::kModified: return "modified";
        case EepromStore::kBlank: return "blank";
        case EepromStore::kSaveFailed: return "save failed";
        case EepromStore::kLoadFailed: return "load failed";
    }
    return "?";
}

}  // namespace

std::string EepromService::PathOf(std::int32_t address) const {
    return folder_ + "/eeprom-" + std::to_string(address) + ".bin";
}

EepromStore& EepromService::StoreOf(std::int32_t address) {
    auto& slot = stores_[address];
    if (!slot) {
        slot = std::make_unique<EepromStore>(PathOf(address), size_);
        const int result = slot->Load();
        if (result != 0) {
            host_.Report("application " + std::to_string(address) + ": EEPROM file " + slot->Path() +
                         " could not be read (" + std::strerror(-result) + "); it starts blank");
        }
    }
    return *slot;
}

void EepromService::ReplyValue(std::int32_t source, std::int32_t command, std::int32_t value) {
    std::uint8_t reply[eeprom::kValueReplyBytes];
    PutI32(reply, value);
    host_.Send(source, kCategoryCustomApp, command + 1, reply, sizeof(reply));
}

void EepromService::Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data,
                           std::size_t length) {
    if (data == nullptr) length = 0;
    const auto malformed = [&](std::size_t expected) {
        host_.Report("application " + std::to_string(source) + ": EEPROM command " + std::to_string(command) +
                     " refused: payload of " + std::to_string(length) + " bytes, expected " +
                     std::to_string(expected));
    };
    switch (command) {
        case eeprom::kCmdRead:
        case eeprom::kCmdWrite: {
            // Both answer (address, count, result[, data]) after an (address,
            // count[, data]) request; only the size and the store call differ.
            const bool read = command == eeprom::kCmdRead;
            const std::size_t expected = read ? eeprom::kReadRequestBytes : eeprom::kWriteRequestBytes;
            std::uint8_t reply[eeprom::kReadReplyBytes] = {};
            std::int32_t result = -EINVAL;
            if (length != expected) {
                malformed(expected);
            } else {
                const std::uint32_t address = GetU32(data);
                const std::int32_t count = GetI32(data + 4);
                PutU32(reply, address);
                result = read ? StoreOf(source).Read(address, count, reply + 12)
                              : StoreOf(source).Write(address, count, data + 8);
                if (result == 0) PutI32(reply + 4, count);
            }
            PutI32(reply + 8, result);
            host_.Send(source, kCategoryCustomApp, command + 1, reply,
                       read ? eeprom::kReadReplyBytes : eeprom::kWriteReplyBytes);
            return;
        }
        case eeprom::kCmdState:
        case eeprom::kCmdSave:
        case eeprom::kCmdDestroy: {
            if (length != 0) {
                malformed(0);
                ReplyValue(source, command, -EINVAL);
                return;
            }
            EepromStore& store = StoreOf(source);
            std::int32_t value;
            if (command == eeprom::kCmdState) {
                value = store.GetState();
            } else if (command == eeprom::kCmdSave) {
                value = store.Save();
                if (value != 0)
                    host_.Report("application " + std::to_string(source) + ": EEPROM save failed (" +
                                 std::strerror(-value) + ")");
            } else {
                value = store.Destroy();
            }
            ReplyValue(source, command, value);
            return;
        }
        default:
            host_.Report("application " + std::to_string(source) + ": command " + std::to_string(command) +
                         " of category 22 refused: unknown command");
    }
}

void EepromService::Drop(std::int32_t address) {
    const auto it = stores_.find(address);
    if (it == stores_.end()) return;
    const EepromStore::State state = it->second->GetState();
    if (state == EepromStore::kSaved || state == EepromStore::kBlank) stores_.erase(it);
}

std::vector<std::string> EepromService::Describe(std::int32_t address) const {
    const auto it = stores_.find(address);
    if (it == stores_.end()) return {};
    return {"EEPROM " + std::to_string(it->second->Size()) + " bytes, " +
            StateName(it->second->GetState()) + ", " + it->second->Path()};
}

}  // namespace gatewaysim
