// Thread rule: the encoders may be called from any thread; they write through
// the client's own thread-safe Write.
#pragma once

#include "IPCClient.h"
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

// Each returns -22 and sends nothing without a client (or, for the send,
// without a record); otherwise the result of the client's Write.

// Sends the 33 bytes of `message` (command 1).
int SendJ1708Message(J1708::J1708Message* message, IPCClient* client);
// Asks for received frames (command 3, no payload).
int ReceiveSubscribe(IPCClient* client);
// Withdraws that request (command 4, no payload).
int ReceiveUnsubscribe(IPCClient* client);

}  // namespace J1708IPC
}  // namespace PlatformServices
