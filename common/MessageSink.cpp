#include "common/MessageSink.h"

#include <cerrno>
#include <new>

#include "Helper.h"
#include "QRVMessage.h"
#include "common/Result.h"

namespace CustomApplication {

int SendThroughClient(PlatformServices::IPCClient* client, std::int32_t category, std::int32_t address,
                      std::int32_t command, const void* data, std::size_t length) {
    using PlatformServices::QRVMessage;
    if (client == nullptr) return kInvalidArgument;
    // Out of memory while the message is built or encoded: nothing is sent,
    // and the caller learns it like any other failed write.
    try {
        QRVMessage message(QRVMessage::kTypeEnvelope, category, address);
        if (!message.NewChildMessage(QRVMessage::kTypeChild)->Build(command, length, data, false)) {
            return kInvalidArgument;
        }
        return client->Write(message);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

int SendChildrenThroughClient(PlatformServices::IPCClient* client, std::int32_t category, std::int32_t address,
                              const ChildMessage* children, std::size_t count) {
    using PlatformServices::QRVMessage;
    if (client == nullptr || children == nullptr || count == 0) return kInvalidArgument;
    try {
        QRVMessage message(QRVMessage::kTypeEnvelope, category, address);
        for (std::size_t i = 0; i < count; ++i) {
            const ChildMessage& child = children[i];
            if (!message.NewChildMessage(QRVMessage::kTypeChild)->Build(child.command, child.length, child.data, false)) {
                return kInvalidArgument;
            }
        }
        // Children that together exceed a frame make Write fail with
        // -EMSGSIZE, and nothing is sent.
        return client->Write(message);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

int SendRequestNumber(MessageSink& sink, std::int32_t category, std::int32_t address, std::int32_t requestId) {
    std::uint8_t buffer[2];
    PlatformServices::Helper::IntToArrayQuick(buffer, static_cast<std::int64_t>(requestId), 16, 1);
    return sink.Send(category, address, 0, buffer, sizeof buffer);
}

}  // namespace CustomApplication
