// Thread rule: the encoders may be called from any thread; they write through
// the client's or server's own thread-safe Write.
#pragma once

#include <cstddef>
#include <cstdint>

#include "IPCClient.h"
#include "IPCServer.h"

namespace PlatformServices {
namespace IPCHelper {

// Sends the envelope every request uses: a top-level message (type 0,
// `category`, `address`) with one child (type 1) of `command` carrying
// `length` bytes of `data`. With a client, the client writes it; otherwise
// the server writes it to `address`, with the source address set to the
// server's own when `stampSource` is set. Returns -22 with neither, -ENOMEM
// (sending nothing) when out of memory, otherwise the write's result.
int SendEnvelope(std::int32_t category, std::int32_t address, std::int32_t command, const void* data,
                 std::size_t length, IPCClient* client, IPCServer* server, bool stampSource = true);

// Request number `requestId` (child command 0, 2 bytes, little-endian) to
// `category` at `address`. -22 when both client and server are null; the
// client is used when both are given.
std::int32_t Request(std::int32_t requestId, std::int32_t category, std::int32_t address, IPCClient* client,
                     IPCServer* server);

}  // namespace IPCHelper
}  // namespace PlatformServices
