#include "services/EepromService.h"

#include <unistd.h>

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

bool HoldsUnsaved(EepromStore::State state) {
    return state == EepromStore::kModified || state == EepromStore::kSaveFailed;
}

}  // namespace

EepromService::EepromService(ServiceHost& host, std::string folder, std::size_t size, int fileMode)
    : host_(host),
      folder_(std::move(folder)),
      size_(size),
      fileMode_(fileMode),
      files_(std::make_unique<BackgroundQueue>()) {}

EepromService::~EepromService() {
    files_.reset();
    for (const auto& entry : slots_) ::unlink(ScratchOf(entry.first).c_str());
}

std::string EepromService::PathOf(std::int32_t address) const {
    return folder_ + "/eeprom-" + std::to_string(address) + ".bin";
}

std::string EepromService::ScratchOf(std::int32_t address) const {
    return PathOf(address) + ".unsaved";
}

void EepromService::ReplyValue(std::int32_t source, std::int32_t command, std::int32_t value) {
    std::uint8_t reply[eeprom::kValueReplyBytes];
    PutI32(reply, value);
    host_.Send(source, kCategoryCustomApp, command + 1, reply, sizeof(reply));
}

void EepromService::Offload(std::int32_t address, Slot& slot, Operation operation, Finish finish) {
    slot.busy = true;
    std::shared_ptr<EepromStore> store = std::move(slot.store);
    files_->Run([this, address, store, operation = std::move(operation), finish = std::move(finish),
                 path = PathOf(address), size = size_, mode = fileMode_]() mutable {
        if (!store) store = std::make_shared<EepromStore>(path, size, mode);
        const int result = operation(store);
        host_.Post([this, address, store = std::move(store), finish = std::move(finish), result] {
            Slot& back = slots_[address];
            back.store = store;
            back.busy = false;
            finish(address, back, result);
            Continue(address);
        });
    });
}

void EepromService::Fetch(std::int32_t address, Slot& slot) {
    const bool aside = slot.putAside;
    const EepromStore::State state = slot.asideState;
    const std::string scratch = ScratchOf(address);
    Offload(
        address, slot,
        [aside, state, scratch](std::shared_ptr<EepromStore>& store) {
            if (!aside) return store->Load();
            const int result = store->ReadScratch(scratch, state);
            ::unlink(scratch.c_str());
            return result;
        },
        [this, aside](std::int32_t source, Slot& back, int result) {
            back.putAside = false;
            if (result == 0 || !back.store) return;
            host_.Report("application " + std::to_string(source) + ": EEPROM " +
                         (aside ? "bytes not saved could not be taken back from " + ScratchOf(source)
                                : "file " + back.store->Path() + " could not be read") +
                         " (" + std::strerror(-result) + "); it starts " +
                         (aside ? "from its file" : "blank"));
        });
}

void EepromService::Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data,
                           std::size_t length) {
    if (data == nullptr) length = 0;
    Slot& slot = slots_[source];
    slot.present = true;
    if (!slot.busy && slot.waiting.empty() && slot.store) {
        Serve(source, slot, command, data, length);
        return;
    }
    if (slot.waiting.size() >= kMaxWaiting) {
        host_.Report("application " + std::to_string(source) + ": EEPROM command " + std::to_string(command) +
                     " refused: " + std::to_string(kMaxWaiting) + " requests wait already");
        if (command == eeprom::kCmdRead || command == eeprom::kCmdWrite) {
            std::uint8_t reply[eeprom::kReadReplyBytes] = {};
            if (length >= 4) std::memcpy(reply, data, 4);
            PutI32(reply + 8, -EBUSY);
            host_.Send(source, kCategoryCustomApp, command + 1, reply,
                       command == eeprom::kCmdRead ? eeprom::kReadReplyBytes : eeprom::kWriteReplyBytes);
        } else {
            ReplyValue(source, command, -EBUSY);
        }
        return;
    }
    slot.waiting.push_back(Request{command, std::vector<std::uint8_t>(data, data + length)});
    if (!slot.busy) Continue(source);
}

void EepromService::Continue(std::int32_t address) {
    const auto it = slots_.find(address);
    if (it == slots_.end()) return;
    Slot& slot = it->second;
    if (!slot.busy && slot.forget) {
        // Freed on the file thread: a large store costs the worker nothing.
        if (slot.store) files_->Run([store = std::move(slot.store)] {});
        slot.store = nullptr;
        slot.forget = false;
    }
    while (!slot.busy && !slot.waiting.empty()) {
        if (!slot.store) {
            Fetch(address, slot);
            return;
        }
        const Request request = std::move(slot.waiting.front());
        slot.waiting.pop_front();
        Serve(address, slot, request.command, request.data.data(), request.data.size());
    }
    if (!slot.busy && slot.waiting.empty() && !slot.present) Release(address, slot);
}

void EepromService::Serve(std::int32_t source, Slot& slot, std::int32_t command, const std::uint8_t* data,
                          std::size_t length) {
    const auto malformed = [&](std::size_t expected) {
        host_.Report("application " + std::to_string(source) + ": EEPROM command " + std::to_string(command) +
                     " refused: payload of " + std::to_string(length) + " bytes, expected " +
                     std::to_string(expected));
    };
    EepromStore& store = *slot.store;
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
                if (Fails(source, read ? Failure::kRead : Failure::kWrite)) {
                    result = -EIO;
                } else {
                    result = read ? store.Read(address, count, reply + 12) : store.Write(address, count, data + 8);
                }
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
            if (command == eeprom::kCmdState) {
                ReplyValue(source, command, store.GetState());
                return;
            }
            const bool save = command == eeprom::kCmdSave;
            if (save && Fails(source, Failure::kSave)) {
                store.MarkSaveFailed();
                ReplyValue(source, command, -EIO);
                return;
            }
            Offload(
                source, slot,
                [save](std::shared_ptr<EepromStore>& on) { return save ? on->Save() : on->Destroy(); },
                [this, command, save](std::int32_t address, Slot&, int result) {
                    if (save && result != 0)
                        host_.Report("application " + std::to_string(address) + ": EEPROM save failed (" +
                                     std::strerror(-result) + ")");
                    ReplyValue(address, command, result);
                });
            return;
        }
        default:
            host_.Report("application " + std::to_string(source) + ": command " + std::to_string(command) +
                         " of category 22 refused: unknown command");
    }
}

bool EepromService::Fails(std::int32_t address, Failure operation) const {
    if (failures_.empty()) return false;
    const auto it = failures_.find(address);
    return it != failures_.end() && it->second == operation;
}

void EepromService::SetFailure(std::int32_t address, Failure operation) {
    if (operation == Failure::kNone) {
        failures_.erase(address);
    } else {
        failures_[address] = operation;
    }
}

void EepromService::Restart() {
    for (auto it = slots_.begin(); it != slots_.end();) {
        Slot& slot = it->second;
        const std::int32_t address = it->first;
        ++it;  // Release may erase the slot
        if (slot.putAside) {
            files_->Run([scratch = ScratchOf(address)] { ::unlink(scratch.c_str()); });
            slot.putAside = false;
        }
        slot.present = false;
        slot.waiting.clear();
        slot.forget = true;
        if (!slot.busy) Continue(address);
    }
}

void EepromService::Drop(std::int32_t address) {
    const auto it = slots_.find(address);
    if (it == slots_.end()) return;
    it->second.present = false;
    if (!it->second.busy && it->second.waiting.empty()) Release(address, it->second);
}

void EepromService::Release(std::int32_t address, Slot& slot) {
    if (!slot.store) {
        if (!slot.putAside) slots_.erase(address);
        return;
    }
    const EepromStore::State state = slot.store->GetState();
    if (!HoldsUnsaved(state)) {
        files_->Run([store = std::move(slot.store)] {});
        slots_.erase(address);
        return;
    }
    const std::string scratch = ScratchOf(address);
    Offload(
        address, slot,
        [scratch](std::shared_ptr<EepromStore>& store) {
            const int result = store->WriteScratch(scratch);
            if (result == 0) store.reset();
            return result;
        },
        [this, state](std::int32_t source, Slot& back, int result) {
            if (back.forget) {
                // The platform restarted while the bytes were on their way
                // to the scratch file: they are lost like every unsaved byte.
                if (result == 0) files_->Run([scratch = ScratchOf(source)] { ::unlink(scratch.c_str()); });
                return;
            }
            if (result == 0) {
                back.putAside = true;
                back.asideState = state;
            } else {
                host_.Report("application " + std::to_string(source) + ": EEPROM bytes not saved stay in memory: " +
                             ScratchOf(source) + ": " + std::strerror(-result));
            }
        });
}

std::vector<std::string> EepromService::Describe(std::int32_t address) const {
    const auto it = slots_.find(address);
    if (it == slots_.end()) return {};
    const Slot& slot = it->second;
    if (slot.store)
        return {"EEPROM " + std::to_string(slot.store->Size()) + " bytes, " + StateName(slot.store->GetState()) +
                ", " + slot.store->Path()};
    if (slot.busy) return {"EEPROM " + std::to_string(size_) + " bytes, file operation under way"};
    return {};
}

int EepromService::Held(std::int32_t address, std::size_t offset, std::size_t length,
                        std::vector<std::uint8_t>* out) const {
    const auto it = slots_.find(address);
    const Slot* slot = it == slots_.end() ? nullptr : &it->second;
    if (slot != nullptr && slot->busy) return -EBUSY;
    const auto read = [&](const EepromStore& store) {
        if (offset > store.Size() || length > store.Size() - offset) return -EFAULT;
        out->resize(length);
        return store.Read(static_cast<std::uint32_t>(offset), static_cast<std::int32_t>(length), out->data());
    };
    // A store let go by a restart holds nothing that counts any more.
    if (slot != nullptr && slot->store && !slot->forget) return read(*slot->store);
    EepromStore copy(PathOf(address), size_, fileMode_);
    const int loaded = slot != nullptr && slot->putAside ? copy.ReadScratch(ScratchOf(address), slot->asideState)
                                                          : copy.Load();
    if (loaded != 0) return loaded;
    return read(copy);
}

std::vector<std::string> EepromService::DescribeHeld() const {
    std::vector<std::string> lines;
    std::size_t inMemory = 0;
    std::size_t aside = 0;
    for (const auto& [address, slot] : slots_) {
        if (slot.store || slot.busy) ++inMemory;
        if (slot.putAside) ++aside;
        if (slot.present) continue;
        std::string line = "EEPROM of application " + std::to_string(address) + " (gone): ";
        if (slot.busy) {
            line += "in memory, file operation under way";
        } else if (slot.store) {
            line += std::string("in memory, ") + StateName(slot.store->GetState());
        } else {
            line += std::string("not saved, put aside in ") + ScratchOf(address) + " (" +
                    StateName(slot.asideState) + ")";
        }
        lines.push_back(line);
    }
    if (inMemory + aside == 0) return lines;
    lines.push_back("EEPROMs: " + std::to_string(inMemory) + " in memory (" + std::to_string(inMemory * size_) +
                    " bytes), " + std::to_string(aside) + " put aside on disk");
    return lines;
}

}  // namespace gatewaysim
