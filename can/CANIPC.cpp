#include "can/CANIPC.h"

#include "core/IPCHelper.h"

namespace PlatformServices {
namespace CANIPC {

namespace {
int Send(std::int32_t command, const void* data, std::size_t length, IPCClient* client, IPCServer* server) {
    if ((client == nullptr) == (server == nullptr)) return -22;
    return IPCHelper::SendEnvelope(kCategory, kAddress, command, data, length, client, server,
                                   /*stampSource=*/false);
}
}  // namespace

int AddSubscription(const AddSubscriptionData* data, IPCClient* client, IPCServer* server) {
    if (data == nullptr) return -22;
    return Send(kAddSubscription, data, sizeof *data, client, server);
}

int RemoveSubscription(const AddSubscriptionData* data, IPCClient* client, IPCServer* server) {
    if (data == nullptr) return -22;
    return Send(kRemoveSubscription, data, sizeof *data, client, server);
}

int RemoveSubscription(IPCClient* client, IPCServer* server) {
    return Send(kRemoveAll, nullptr, 0, client, server);
}

}  // namespace CANIPC
}  // namespace PlatformServices
