#include "j1708/J1708IPC.h"

#include "common/Result.h"

namespace PlatformServices {
namespace J1708IPC {

int SendJ1708Message(J1708::J1708Message* message, CustomApplication::MessageSink& sink) {
    if (message == nullptr) return CustomApplication::kInvalidArgument;
    return sink.Send(kCategory, kAddress, kCommandSend, message, J1708::kRecordBytes);
}

int ReceiveSubscribe(CustomApplication::MessageSink& sink) {
    return sink.Send(kCategory, kAddress, kCommandSubscribe, nullptr, 0);
}

int ReceiveUnsubscribe(CustomApplication::MessageSink& sink) {
    return sink.Send(kCategory, kAddress, kCommandUnsubscribe, nullptr, 0);
}

}  // namespace J1708IPC
}  // namespace PlatformServices
