// Thread rule: callers take turns from any application thread (on the
// thread that receives the replies a turn is only tried); Offer and Wake are
// called from that thread or any other. The lock is held only to store or
// copy a reply, never across a send or a wait.
#pragma once

#include <array>
#include <cstddef>
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

// A request whose answer nothing can be told from: every reply of its
// exchange may answer it, and no two such requests can be told apart.
template <typename Reply>
struct AnyRequest {
    static constexpr std::size_t kKinds = 1;
    std::size_t KindIndex() const { return 0; }
    bool Answers(const Reply&) const { return true; }
    bool Confusable(const AnyRequest&) const { return true; }
};

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
//
// A request sent with its `Request` (Exchange with a request) is also
// remembered once its caller gave up without an answer, as owed, until that
// answer comes, the connection is made anew (no answer crosses into another
// connection) or kOwedMs have passed: the late answer is then recognised,
// dropped and counted by the kind of its request, and a later request whose
// answer could not be told from an owed one's is refused with kAlready and
// not sent. `Request` says what its answer carries:
//   static constexpr std::size_t kKinds;   // kinds of request, for the counts
//   std::size_t KindIndex() const;         // below kKinds
//   bool Answers(const Reply&) const;      // the reply is this request's answer
//   bool Confusable(const Request&) const; // one reply could answer both
template <typename Reply, typename Request = AnyRequest<Reply>>
class RequestExchange {
public:
    // How long the answer to a request whose caller gave up may still come.
    static constexpr std::int64_t kOwedMs = 10'000;
    // Requests remembered as owed at most; beyond, the oldest is forgotten.
    static constexpr std::size_t kOwedCapacity = 32;

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
    // `send` returns when that is not 0 (kNotConnected for a write that found
    // the connection gone); kUnexpectedReply when only replies
    // that `answers` refused came in time; kTimedOut when none came in time
    // (at once without the turn, or when the turn came only at the deadline:
    // nothing is sent then); kNotConnected, without a reply, once the sink's
    // connection is gone (at once when it is gone before the send).
    template <typename Send>
    std::int32_t Await(const Turn& turn, std::int64_t deadline, Answers answers, Send&& send, const MessageSink& sink,
                       Reply* reply) {
        return Run(turn, deadline, std::move(answers), send, sink, reply, nullptr);
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

    // As Exchange above, for `request`, which answers say they answer: a
    // request that could be given an owed request's answer is refused with
    // kAlready, nothing sent; one whose caller gives up after its send
    // (kTimedOut, kUnexpectedReply) is owed from then on; kCalledFromCallback
    // at once on the thread that receives the replies.
    template <typename Send>
    std::int32_t Exchange(std::int32_t timeoutMs, const Request& request, Send&& send, const MessageSink& sink,
                          Reply* reply) {
        if (sink.OnReceivingThread()) return kCalledFromCallback;
        const std::int64_t deadline = Deadline(timeoutMs);
        if (!sink.Connected()) return kNotConnected;
        const Turn turn(*this, deadline, sink.OnReceivingThread());
        if (!turn.Held()) return kTimedOut;
        if (Owes(request, sink.Connection())) return kAlready;
        const auto answers = [&request](const Reply& r) { return request.Answers(r); };
        return Run(turn, deadline, answers, send, sink, reply, &request);
    }

    // A reply from the platform: kept, and its caller woken, when it answers
    // the request in flight; otherwise dropped. Returns whether it was kept.
    bool Offer(const Reply& reply) {
        {
            MutexLock guard(lock_);
            const bool waiting = answers_ && !answered_;
            if (!waiting || !answers_(reply)) {
                if (!DropOwed(reply) && waiting) passedOver_ = true;
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

    // Answers dropped because their request's caller had given up, by kind.
    std::uint64_t LateAnswers(std::size_t kind) const {
        MutexLock guard(lock_);
        return kind < Request::kKinds ? lateAnswers_[kind] : 0;
    }

private:
    // Await, and with `owed` the request that is owed once its caller gives
    // up after sending it.
    template <typename Send>
    std::int32_t Run(const Turn& turn, std::int64_t deadline, Answers answers, Send& send, const MessageSink& sink,
                     Reply* reply, const Request* owed) {
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
        if (ConnectionGone(outcome)) outcome = kNotConnected;
        const bool sent = outcome == 0;
        const std::int64_t sentAt = PlatformServices::Helper::GetTicks();
        if (sent) {
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
        // The answer may have come between the last look and this lock: it
        // is still this request's. Otherwise, under the same lock as the end
        // of the wait, an answer that comes from now on finds the request owed.
        if (outcome == kTimedOut && answered_) {
            *reply = reply_;
            outcome = 0;
        }
        if (owed != nullptr && sent && outcome == kTimedOut) Owe(*owed, connection, sentAt);
        return outcome == kTimedOut && passedOver_ ? kUnexpectedReply : outcome;
    }

    struct Owed {
        Request request;
        std::uint32_t connection;
        std::int64_t sentAt;
    };

    void Owe(const Request& request, std::uint32_t connection, std::int64_t sentAt) EXCLUSIVE_LOCKS_REQUIRED(lock_) {
        if (owedCount_ == kOwedCapacity) Forget(0);
        owed_[owedCount_++] = Owed{request, connection, sentAt};
    }

    void Forget(std::size_t index) EXCLUSIVE_LOCKS_REQUIRED(lock_) {
        for (std::size_t i = index + 1; i < owedCount_; ++i) owed_[i - 1] = owed_[i];
        --owedCount_;
    }

    // Forgets what can no longer be answered (sent over another connection,
    // or longer ago than kOwedMs); then whether a reply to `request` could
    // be taken for an owed one's.
    bool Owes(const Request& request, std::uint32_t connection) {
        const std::int64_t now = PlatformServices::Helper::GetTicks();
        MutexLock guard(lock_);
        bool owes = false;
        for (std::size_t i = owedCount_; i-- > 0;) {
            if (owed_[i].connection != connection || now - owed_[i].sentAt >= kOwedMs) {
                Forget(i);
            } else if (request.Confusable(owed_[i].request)) {
                owes = true;
            }
        }
        return owes;
    }

    // A reply that answers an owed request: dropped, counted, the request no
    // longer owed.
    bool DropOwed(const Reply& reply) EXCLUSIVE_LOCKS_REQUIRED(lock_) {
        for (std::size_t i = 0; i < owedCount_; ++i) {
            if (!owed_[i].request.Answers(reply)) continue;
            ++lateAnswers_[owed_[i].request.KindIndex()];
            Forget(i);
            return true;
        }
        return false;
    }

    bool Take(Reply* reply) {
        MutexLock guard(lock_);
        if (!answered_) return false;
        *reply = reply_;
        return true;
    }

    RequestTurn turn_;
    PlatformServices::ManualResetEvent arrived_;
    mutable Mutex lock_;
    Answers answers_ GUARDED_BY(lock_);  // set while a request is in flight
    bool answered_ GUARDED_BY(lock_) = false;
    bool passedOver_ GUARDED_BY(lock_) = false;  // a reply came that answered nothing
    Reply reply_ GUARDED_BY(lock_){};
    std::array<Owed, kOwedCapacity> owed_ GUARDED_BY(lock_){};
    std::size_t owedCount_ GUARDED_BY(lock_) = 0;
    std::array<std::uint64_t, Request::kKinds> lateAnswers_ GUARDED_BY(lock_){};
};

}  // namespace Internal
}  // namespace CustomApplication
