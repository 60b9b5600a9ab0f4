#include "j1939/J1939IPC.h"

#include "core/IPCHelper.h"

namespace PlatformServices {
namespace J1939IPC {

namespace {

// Exactly one way to write must be given.
bool OneWriter(const IPCClient* client, const IPCServer* server) {
    return (client != nullptr) != (server != nullptr);
}

int Send(std::int32_t command, const void* payload, std::size_t length, IPCClient* client, IPCServer* server) {
    return IPCHelper::SendEnvelope(kCategory, kAddress, command, payload, length, client, server);
}

}  // namespace

int GetCurrentCAList(IPCClient* client, IPCServer* server, bool staticList) {
    if (!OneWriter(client, server)) return -22;
    return IPCHelper::Request(staticList ? kRequestStaticCAList : kRequestCAList, kCategory, kAddress, client,
                              server);
}

int CreateInterfaceManager(unsigned char bus, IPCClient* client, IPCServer* server) {
    if (!OneWriter(client, server)) return -22;
    return Send(CommandCreateInterfaceManager, &bus, sizeof bus, client, server);
}

int CreateControllerApplication(unsigned char bus, unsigned char address, J1939NameIPC* name, IPCClient* client,
                                IPCServer* server) {
    if (!OneWriter(client, server)) return -22;
    if (name == nullptr) return -22;
    J1939CreateControllerIPC record{};
    record.Bus = bus;
    record.Address = address;
    record.Name = *name;
    return Send(CommandCreateController, &record, sizeof record, client, server);
}

int RemoveControllerApplication(unsigned char bus, unsigned char address, IPCClient* client, IPCServer* server) {
    if (!OneWriter(client, server)) return -22;
    const J1939RemoveControllerIPC record{bus, address};
    return Send(CommandRemoveController, &record, sizeof record, client, server);
}

int SubscribeMessage(unsigned char bus, J1939SubscriptionModesIPC mode, unsigned int pgn, unsigned char address,
                     IPCClient* client, IPCServer* server, bool unsubscribe) {
    if (!OneWriter(client, server)) return -22;
    J1939SubscriptionIPC record{};
    record.Bus = bus;
    record.Mode = mode;
    record.PGN = pgn;
    record.SourceAddress = address;
    return Send(unsubscribe ? CommandUnsubscribe : CommandSubscribe, &record, sizeof record, client, server);
}

int SendMessage(J1939SendMessageIPC* message, IPCClient* client, IPCServer* server) {
    if (!OneWriter(client, server)) return -22;
    if (message == nullptr || message->Length > kMaxData) return -22;
    return Send(CommandSendMessage, message, kSendHeaderBytes + message->Length, client, server);
}

}  // namespace J1939IPC
}  // namespace PlatformServices
