#include "core/IPCHelper.h"

#include <cerrno>
#include <new>

#include "Helper.h"

namespace PlatformServices {
namespace IPCHelper {

int SendEnvelope(std::int32_t category, std::int32_t address, std::int32_t command, const void* data,
                 std::size_t length, IPCClient* client, IPCServer* server, bool stampSource) {
    if (client == nullptr && server == nullptr) return -22;
    // Out of memory while the message is built or encoded: nothing is sent,
    // and the caller learns it like any other failed write.
    try {
        QRVMessage message(QRVMessage::kTypeEnvelope, category, address);
        if (!message.NewChildMessage(QRVMessage::kTypeChild)->Build(command, length, data, false)) return -22;
        if (client != nullptr) return client->Write(message);
        if (stampSource) message.SetSourceAddress(server->GetServerAddress());
        return server->Write(address, message);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

std::int32_t Request(std::int32_t requestId, std::int32_t category, std::int32_t address, IPCClient* client,
                     IPCServer* server) {
    if (client == nullptr && server == nullptr) return -22;
    std::uint8_t buffer[2];
    Helper::IntToArrayQuick(buffer, static_cast<std::int64_t>(requestId), 16, 1);
    return SendEnvelope(category, address, 0, buffer, sizeof buffer, client, server);
}

}  // namespace IPCHelper
}  // namespace PlatformServices
