#include "j1708/J1708IPC.h"

#include "core/IPCHelper.h"

namespace PlatformServices {
namespace J1708IPC {

int SendJ1708Message(J1708::J1708Message* message, IPCClient* client) {
    if (client == nullptr || message == nullptr) return -22;
    return IPCHelper::SendEnvelope(kCategory, kAddress, kCommandSend, message, J1708::kRecordBytes, client,
                                   nullptr);
}

int ReceiveSubscribe(IPCClient* client) {
    if (client == nullptr) return -22;
    return IPCHelper::SendEnvelope(kCategory, kAddress, kCommandSubscribe, nullptr, 0, client, nullptr);
}

int ReceiveUnsubscribe(IPCClient* client) {
    if (client == nullptr) return -22;
    return IPCHelper::SendEnvelope(kCategory, kAddress, kCommandUnsubscribe, nullptr, 0, client, nullptr);
}

}  // namespace J1708IPC
}  // namespace PlatformServices
