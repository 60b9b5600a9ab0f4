#include "j1939/J1939IPC.h"

#include "common/Result.h"

namespace PlatformServices {
namespace J1939IPC {

namespace {
int Send(std::int32_t command, const void* payload, std::size_t length, CustomApplication::MessageSink& sink) {
    return sink.Send(kCategory, kAddress, command, payload, length);
}
}  // namespace

int GetCurrentCAList(CustomApplication::MessageSink& sink, bool staticList) {
    return CustomApplication::SendRequestNumber(sink, kCategory, kAddress,
                                                staticList ? kRequestStaticCAList : kRequestCAList);
}

int CreateInterfaceManager(unsigned char bus, CustomApplication::MessageSink& sink) {
    return Send(CommandCreateInterfaceManager, &bus, sizeof bus, sink);
}

int CreateControllerApplication(unsigned char bus, unsigned char address, J1939NameIPC* name,
                                CustomApplication::MessageSink& sink) {
    if (name == nullptr) return CustomApplication::kInvalidArgument;
    J1939CreateControllerIPC record{};
    record.Bus = bus;
    record.Address = address;
    record.Name = *name;
    return Send(CommandCreateController, &record, sizeof record, sink);
}

int RemoveControllerApplication(unsigned char bus, unsigned char address, CustomApplication::MessageSink& sink) {
    const J1939RemoveControllerIPC record{bus, address};
    return Send(CommandRemoveController, &record, sizeof record, sink);
}

int SubscribeMessage(unsigned char bus, J1939SubscriptionModesIPC mode, unsigned int pgn, unsigned char address,
                     CustomApplication::MessageSink& sink, bool unsubscribe) {
    J1939SubscriptionIPC record{};
    record.Bus = bus;
    record.Mode = mode;
    record.PGN = pgn;
    record.SourceAddress = address;
    return Send(unsubscribe ? CommandUnsubscribe : CommandSubscribe, &record, sizeof record, sink);
}

int SendMessage(J1939SendMessageIPC* message, CustomApplication::MessageSink& sink) {
    if (message == nullptr || message->Length > kMaxData) return CustomApplication::kInvalidArgument;
    return Send(CommandSendMessage, message, kSendHeaderBytes + message->Length, sink);
}

}  // namespace J1939IPC
}  // namespace PlatformServices
