// Thread rule: any thread may run an exchange; the turn lets one at a time
// through per kind of request. A caller on the listener thread, which
// delivers the answers, gets none and times out.
#pragma once

#include <cstdint>

#include "ManualResetEvent.h"
#include "common/MessageSink.h"
#include "common/RequestTurn.h"
#include "common/Result.h"

namespace CustomApplication {

// One request that waits for the platform's answer. Takes `turn` (at most
// `timeoutMs`), calls `send`, waits for `reply`, and while still holding the
// turn lets `take` read the answer and return the outcome. -110 when the
// turn, the answer or the connection is missing. Without a connection no
// answer can come, so it fails at once; the listener marks the connection
// gone before it wakes the waiters, so the check after the reset cannot miss
// that wake-up.
template <typename Send, typename Take>
std::int32_t ExchangeWithReply(const MessageSink& sink, Internal::RequestTurn& turn,
                               PlatformServices::ManualResetEvent& reply, std::int32_t timeoutMs, Send&& send,
                               Take&& take) {
    if (!sink.Connected() || !turn.Acquire(timeoutMs)) return kTimedOut;
    reply.Reset();
    std::int32_t outcome = kTimedOut;
    if (sink.Connected()) {
        send();
        if (reply.WaitOne(timeoutMs) == 0 && sink.Connected()) outcome = take();
    }
    turn.Release();
    return outcome;
}

}  // namespace CustomApplication
