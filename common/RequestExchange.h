// Thread rule: callers take turns from any application thread (on the
// thread that receives the replies a turn is only tried); Offer and Wake are
// called from that thread or any other. The lock is held only to store or
// copy a reply, never across a send or a wait.
#pragma once

#include <cstdint>
#include <type_traits>

#include "Helper.h"
#include "ManualResetEvent.h"
#include "common/MessageSink.h"
#include "common/Mutex.h"
#include "common/RequestTurn.h"
#include "common/Result.h"

namespace CustomApplication {
namespace Internal {

// The one request-and-reply exchange with the platform: one request of a
// kind in flight at a time, and the reply that answers it. The platform's
// replies carry no request number, so each caller says which reply answers
// its request (by what the reply carries: its command, the address, offset
// or CA asked for); a reply that answers nothing in flight (one that comes
// after its caller gave up, or one of another command) is dropped and wakes
// nobody; a call that saw only such replies until its deadline fails with
// kUnexpectedReply (the platform answered, but not what was asked), one that
// saw none with kTimedOut, one without a connection (lost before the
// request or during the wait) with kNotConnected at once. A caller's
// time-out bounds its whole call, the
// wait for its turn included, and a reply that has arrived is returned even
// when the connection is lost right after it.
template <typename Reply>
class RequestExchange {
public:
    // The caller's test of a reply: a reference to a callable that lives on
    // the caller's stack for the whole call (so no allocation, which on the
    // 32-bit target a std::function holding a few captures would make).
    class Answers {
    public:
        Answers() = default;
        template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Answers>>>
        Answers(const F& test)  // NOLINT: converts like a function object
            : test_(&test), call_([](const void* t, const Reply& r) { return (*static_cast<const F*>(t))(r); }) {}
        explicit operator bool() const { return call_ != nullptr; }
        bool operator()(const Reply& reply) const { return call_(test_, reply); }

    private:
        const void* test_ = nullptr;
        bool (*call_)(const void*, const Reply&) = nullptr;
    };

    // One caller's turn, from its construction to its destruction. On the
    // listener thread the turn is only tried: waiting there for another
    // caller would also hold up the reply that caller waits for.
    class Turn {
    public:
        Turn(RequestExchange& exchange, std::int64_t deadline, bool onListener)
            : exchange_(exchange), held_(Take(exchange, deadline, onListener)) {}
        ~Turn() {
            if (held_) exchange_.turn_.Release();
        }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        bool Held() const { return held_; }

    private:
        static bool Take(RequestExchange& exchange, std::int64_t deadline, bool onListener) {
            const std::int64_t left = deadline - PlatformServices::Helper::GetTicks();
            return exchange.turn_.Acquire(onListener || left < 0 ? 0 : static_cast<std::int32_t>(left));
        }
        RequestExchange& exchange_;
        const bool held_;
    };

    // The deadline of a call that may take `timeoutMs` from now.
    static std::int64_t Deadline(std::int32_t timeoutMs) { return PlatformServices::Helper::GetTicks() + timeoutMs; }

    // With `turn` held: runs `send` and waits until `deadline` for a reply
    // that `answers` accepts. 0 with the reply copied to `*reply`; what
    // `send` returns when that is not 0; kUnexpectedReply when only replies
    // that `answers` refused came in time; kTimedOut when none came in time
    // (at once without the turn, or when the turn came only at the deadline:
    // nothing is sent then); kNotConnected, without a reply, once the sink's
    // connection is gone (at once when it is gone before the send).
    template <typename Send>
    std::int32_t Await(const Turn& turn, std::int64_t deadline, Answers answers, Send&& send, const MessageSink& sink,
                       Reply* reply) {
        if (!turn.Held()) return kTimedOut;
        {
            MutexLock guard(lock_);
            answers_ = std::move(answers);
            answered_ = false;
            passedOver_ = false;
        }
        // The connection the request goes over: its answer comes over it or never.
        const std::uint32_t connection = sink.Connection();
        std::int32_t outcome = sink.Connected() ? kTimedOut : kNotConnected;
        // A turn that came only at the deadline sends nothing.
        if (outcome == kTimedOut && deadline > PlatformServices::Helper::GetTicks()) outcome = send();
        if (outcome == 0) {
            outcome = kTimedOut;
            for (;;) {
                // Reset before looking: a reply or a loss of the connection
                // after the look sets the event again.
                arrived_.Reset();
                // The connection's state is read before the look: a reply
                // dispatched before the connection ended is then seen.
                const bool connected = sink.Connected() && sink.Connection() == connection;
                if (Take(reply)) {
                    outcome = 0;
                    break;
                }
                if (!connected) {
                    outcome = kNotConnected;
                    break;
                }
                const std::int64_t left = deadline - PlatformServices::Helper::GetTicks();
                if (left <= 0) break;
                arrived_.WaitOne(static_cast<std::int32_t>(left));
            }
        }
        MutexLock guard(lock_);
        answers_ = Answers();
        return outcome == kTimedOut && passedOver_ ? kUnexpectedReply : outcome;
    }

    // Takes a turn, then as Await, all within `timeoutMs`; kCalledFromCallback
    // at once on the thread that receives the replies.
    template <typename Send>
    std::int32_t Exchange(std::int32_t timeoutMs, Answers answers, Send&& send, const MessageSink& sink,
                          Reply* reply) {
        // On the receiving thread the answer could only come once this call
        // has returned: it fails at once, sending nothing.
        if (sink.OnReceivingThread()) return kCalledFromCallback;
        const std::int64_t deadline = Deadline(timeoutMs);
        if (!sink.Connected()) return kNotConnected;
        const Turn turn(*this, deadline, sink.OnReceivingThread());
        return Await(turn, deadline, std::move(answers), send, sink, reply);
    }

    // A reply from the platform: kept, and its caller woken, when it answers
    // the request in flight; otherwise dropped. Returns whether it was kept.
    bool Offer(const Reply& reply) {
        {
            MutexLock guard(lock_);
            if (!answers_ || answered_) return false;
            if (!answers_(reply)) {
                passedOver_ = true;
                return false;
            }
            reply_ = reply;
            answered_ = true;
        }
        arrived_.Set();
        return true;
    }

    // Wakes a caller that waits, to look at its connection again.
    void Wake() { arrived_.Set(); }

private:
    bool Take(Reply* reply) {
        MutexLock guard(lock_);
        if (!answered_) return false;
        *reply = reply_;
        return true;
    }

    RequestTurn turn_;
    PlatformServices::ManualResetEvent arrived_;
    Mutex lock_;
    Answers answers_ GUARDED_BY(lock_);  // set while a request is in flight
    bool answered_ GUARDED_BY(lock_) = false;
    bool passedOver_ GUARDED_BY(lock_) = false;  // a reply came that answered nothing
    Reply reply_ GUARDED_BY(lock_){};
};

}  // namespace Internal
}  // namespace CustomApplication
