#include "j1708/J1708.h"

#include <utility>

namespace CustomApplication {
namespace Internal {

void J1708::Reset() {
    initialised_.store(false, std::memory_order_release);
    MutexLock guard(receiveAllLock_);
    receiveAll_.Enabled = false;
}

void J1708::RegisterReceiveAllMessages(J1708Types::J1708ReceiveCallback callback, void* context) {
    MutexLock guard(receiveAllLock_);
    receiveAll_ = ReceiveAll{true, callback, context};
}

}  // namespace Internal
}  // namespace CustomApplication
