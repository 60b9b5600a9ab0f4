#include "j1708/J1708.h"

#include <utility>

namespace CustomApplication {
namespace Internal {

void J1708::Init() {
    Initialised.store(false, std::memory_order_release);
    MutexLock guard(ReceiveAllLock);
    ReceiveAllRegistration.Enabled = false;
}

std::shared_ptr<J1708::Tables> J1708::Snapshot() const {
    MutexLock guard(TablesLock);
    return CurrentTables;
}

bool J1708::Publish(std::shared_ptr<Tables> tables) {
    MutexLock guard(TablesLock);
    if (Initialised.load(std::memory_order_relaxed)) return false;
    CurrentTables = std::move(tables);
    Initialised.store(true, std::memory_order_release);
    return true;
}

std::shared_ptr<J1708::Tables> J1708::Withdraw() {
    MutexLock guard(TablesLock);
    return std::move(CurrentTables);
}

void J1708::SetReceiveAll(J1708Types::J1708ReceiveCallback callback, void* context) {
    MutexLock guard(ReceiveAllLock);
    ReceiveAllRegistration = ReceiveAll{true, callback, context};
}

J1708::ReceiveAll J1708::GetReceiveAll() const {
    MutexLock guard(ReceiveAllLock);
    return ReceiveAllRegistration;
}

}  // namespace Internal
}  // namespace CustomApplication
