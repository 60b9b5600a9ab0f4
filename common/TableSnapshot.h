// Thread rule: any thread may read or replace the table. The lock is held
// only to take or swap the counted reference (and for the short change a
// caller runs under it), never across a write or a callback.
//
// A copy-on-write table: readers take a counted reference to the current,
// immutable table and walk it without a lock, so a delivery or a send under
// way keeps its rows alive even while the table is replaced or withdrawn. A
// writer builds a new table and swaps it in.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "common/Mutex.h"

namespace CustomApplication {

template <typename Table>
class TableSnapshot {
public:
    // A counted reference to an immutable table; null stands for none.
    using Handle = std::shared_ptr<const Table>;

    TableSnapshot() = default;
    TableSnapshot(const TableSnapshot&) = delete;
    TableSnapshot& operator=(const TableSnapshot&) = delete;

    // The current table.
    Handle Current() const {
        MutexLock guard(lock_);
        return current_;
    }
    // The current table and, in `*version`, its number.
    Handle Current(std::uint64_t* version) const {
        MutexLock guard(lock_);
        *version = version_.load(std::memory_order_relaxed);
        return current_;
    }
    // The number of the current table: it changes whenever Change runs.
    std::uint64_t Version() const { return version_.load(std::memory_order_acquire); }

    // Runs `change(current)` under the lock, where it may replace `current`,
    // and returns its result. A replaced table should be moved out and
    // released by the caller after the call, outside the lock. `change`
    // neither writes nor calls back.
    template <typename Fn>
    auto Change(Fn&& change) {
        MutexLock guard(lock_);
        version_.fetch_add(1, std::memory_order_release);
        return change(current_);
    }

    // Withdraws the table; it is released once its last reader lets go.
    Handle Take() {
        return Change([](Handle& current) { return std::exchange(current, nullptr); });
    }

private:
    mutable Mutex lock_;
    Handle current_ GUARDED_BY(lock_);
    std::atomic<std::uint64_t> version_{0};  // changed under the lock
};

}  // namespace CustomApplication
