// Thread rule: Enter and Leave from any application thread (or a callback);
// Close and Open from the one thread that restores the connection. The lock
// is held only to count and to wait, never across a write.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/Mutex.h"

namespace CustomApplication {
namespace Internal {

// Keeps the application's registrations and the restore of a new
// connection apart, so that each registration reaches a connection exactly
// once: either it is sent (or failed) before the restore takes its snapshot
// of what to send again, or it starts after the restore has sent that
// snapshot and goes over the new connection after it.
class RegistrationGate {
public:
    // A registration begins: waits while a restore is under way, at most
    // `timeoutMs`. False when the restore did not end in time (the
    // registration must then not go ahead).
    bool Enter(std::int32_t timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        MutexLock guard(lock_);
        while (closed_) {
            if (!changed_.WaitUntil(lock_, deadline) && closed_) return false;
        }
        ++inside_;
        return true;
    }
    void Leave() {
        {
            MutexLock guard(lock_);
            --inside_;
        }
        changed_.NotifyAll();
    }
    // A restore begins: no registration starts from now on, and those under
    // way are awaited, at most `timeoutMs`. False (the gate open again) when
    // one was still under way then.
    bool Close(std::int32_t timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        MutexLock guard(lock_);
        closed_ = true;
        while (inside_ > 0) {
            if (!changed_.WaitUntil(lock_, deadline) && inside_ > 0) {
                closed_ = false;
                changed_.NotifyAll();
                return false;
            }
        }
        return true;
    }
    void Open() {
        {
            MutexLock guard(lock_);
            closed_ = false;
        }
        changed_.NotifyAll();
    }

private:
    Mutex lock_;
    CondVar changed_;
    bool closed_ GUARDED_BY(lock_) = false;
    int inside_ GUARDED_BY(lock_) = 0;
};

}  // namespace Internal
}  // namespace CustomApplication
