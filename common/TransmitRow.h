// Thread rule: each function takes the row's DataLock itself, briefly, and
// never holds it across a write or a callback; any thread may call them.
//
// The payload of a transmit row, the same on every bus. A row type has
//   Mutex DataLock;
//   <integer> Length GUARDED_BY(DataLock);
//   std::unique_ptr<unsigned char[]> DataCopy GUARDED_BY(DataLock);
//   bool HasData GUARDED_BY(DataLock);
//   std::atomic<std::int64_t> LastSentTicks;  // the cycle's start
// DataCopy holds at least Length bytes while HasData; a row without data
// sends an empty payload.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "Helper.h"
#include "common/Mutex.h"
#include "common/Result.h"

namespace CustomApplication {

// Gives a new row its first payload, a copy of `length` bytes of `data`
// (null only when `length` is 0), and makes it due at once. False when the
// copy cannot be allocated.
template <typename Row>
bool SetFirstPayload(Row& row, const unsigned char* data, std::size_t length) {
    MutexLock guard(row.DataLock);
    row.Length = static_cast<decltype(row.Length)>(length);
    row.DataCopy.reset(new (std::nothrow) unsigned char[length]);
    if (!row.DataCopy) return false;
    if (length > 0) std::memcpy(row.DataCopy.get(), data, length);
    row.LastSentTicks.store(0, std::memory_order_relaxed);
    row.HasData = true;
    return true;
}

// Replaces the payload by `length` bytes of `data`. A payload no longer than
// the current one reuses its buffer; a longer one needs a new buffer, and
// when none can be had the row is left without data (until the next update)
// and -12 returned. 0 once the bytes are stored.
template <typename Row>
std::int32_t UpdatePayload(Row& row, const unsigned char* data, std::size_t length) {
    MutexLock guard(row.DataLock);
    std::int32_t result = kInvalidArgument;
    if (length > static_cast<std::size_t>(row.Length)) {
        row.DataCopy.reset(new (std::nothrow) unsigned char[length]);
        row.HasData = row.DataCopy != nullptr;
        if (!row.HasData) {
            row.Length = 0;
            result = kOutOfMemory;
        }
    }
    if (row.HasData) {
        std::memcpy(row.DataCopy.get(), data, length);
        row.Length = static_cast<decltype(row.Length)>(length);
        result = 0;
    }
    return result;
}

// Lets `read(data, length)` copy the current payload while the row's lock is
// held (`length` 0 for a row without data).
template <typename Row, typename Read>
void ReadPayload(Row& row, Read&& read) {
    MutexLock guard(row.DataLock);
    read(static_cast<const unsigned char*>(row.DataCopy.get()),
         row.HasData ? static_cast<std::size_t>(row.Length) : std::size_t{0});
}

// Drops the payload; the row sends no data from now on.
template <typename Row>
void ClearPayload(Row& row) {
    MutexLock guard(row.DataLock);
    row.DataCopy.reset();
    row.HasData = false;
    row.Length = 0;
}

// Records a send: the row's next cycle starts now.
template <typename Row>
void MarkSent(Row& row) {
    row.LastSentTicks.store(PlatformServices::Helper::GetTicks(), std::memory_order_relaxed);
}

}  // namespace CustomApplication
