// Thread rule: the encoders may be called from any thread; they write through
// the sink, which may be called from any thread.
#pragma once

#include "common/MessageSink.h"
#include "j1708/J1708Record.h"

namespace PlatformServices {
namespace J1708IPC {

// Category and destination of the J1708 service's messages.
constexpr std::int32_t kCategory = 20;
constexpr std::int32_t kAddress = 254;
// Child commands.
constexpr std::int32_t kCommandSend = 1;
constexpr std::int32_t kCommandReceived = 2;
constexpr std::int32_t kCommandSubscribe = 3;
constexpr std::int32_t kCommandUnsubscribe = 4;

// Each returns the sink's result; the send returns -22 and sends nothing
// without a record.

// Sends the 33 bytes of `message` (command 1).
int SendJ1708Message(J1708::J1708Message* message, CustomApplication::MessageSink& sink);
// Asks for received frames (command 3, no payload).
int ReceiveSubscribe(CustomApplication::MessageSink& sink);
// Withdraws that request (command 4, no payload).
int ReceiveUnsubscribe(CustomApplication::MessageSink& sink);

}  // namespace J1708IPC
}  // namespace PlatformServices
