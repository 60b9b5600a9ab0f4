#include <algorithm>

#include "j1939/J1939.h"

namespace CustomApplication {
namespace Internal {

void J1939::J1939ControllerApplication::IndexReceiveTable() {
    pgnRows_.clear();
    sourceRows_.clear();
    // The map is walked in key order, so pgnRows_ comes out sorted.
    for (const auto& entry : ReceiveTable) {
        const J1939ReceiveTableEntry* row = entry.second.get();
        if (row == nullptr || row->Callback == nullptr) continue;
        switch (row->SubscriptionMode) {
            case 0:
            case 2:
                pgnRows_.push_back(KeyedRow{entry.first, row});
                break;
            case 1:
                sourceRows_.push_back(SourceRow{row->SourceAddress, entry.first, row});
                break;
            default:
                break;
        }
    }
    std::stable_sort(sourceRows_.begin(), sourceRows_.end(),
                     [](const SourceRow& a, const SourceRow& b) { return a.source < b.source; });
}

std::shared_ptr<const J1939::ReceiveAllRegistration> J1939::J1939ControllerApplication::ReceiveAll() const {
    MutexLock guard(receiveAllLock_);
    return receiveAll_;
}

std::shared_ptr<const J1939::ReceiveAllRegistration> J1939::J1939ControllerApplication::SetReceiveAll(
    J1939Types::J1939ReceiveCallback callback, void* context) {
    auto registration = std::make_shared<const ReceiveAllRegistration>(ReceiveAllRegistration{callback, context});
    PutBackReceiveAll(registration);
    return registration;
}

void J1939::J1939ControllerApplication::PutBackReceiveAll(std::shared_ptr<const ReceiveAllRegistration>& registration) {
    MutexLock guard(receiveAllLock_);
    receiveAll_.swap(registration);
    // The replaced registration is released by the caller, after the lock.
}

}  // namespace Internal
}  // namespace CustomApplication
