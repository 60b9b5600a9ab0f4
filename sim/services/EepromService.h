// Thread rule: worker thread only (see ServiceHost.h); the file operations
// run on a thread of the service's own, which owns a store while it works on
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "services/BackgroundQueue.h"
#include "services/EepromStore.h"
#include "services/ServiceHost.h"

namespace gatewaysim {

// The virtual EEPROM service: one store per application address, of one
// configured size, in files "eeprom-<address>.bin" of the data folder.
//
// Files are read, saved and destroyed off the worker thread, so that a large
// EEPROM never holds up the buses: while a store's file operation is under
// way, the requests of its application wait, and are answered in order after
// it. A store is loaded at the first request of its application. Once its
// application has gone, a store is let go: one that holds nothing unsaved at
// once (it is read again from its file when needed); one with unsaved bytes
// after they were put aside in "eeprom-<address>.bin.unsaved", from which
// they come back when the application returns. Unsaved bytes are lost when
// the simulator ends.
class EepromService {
public:
    // Requests that may wait for one application's file operation; more are
    // refused with -EBUSY.
    static constexpr std::size_t kMaxWaiting = 1024;

    EepromService(ServiceHost& host, std::string folder, std::size_t size, int fileMode = 0600);
    // Finishes the file operations under way and removes the scratch files.
    ~EepromService();
    EepromService(const EepromService&) = delete;
    EepromService& operator=(const EepromService&) = delete;

    // Commands 1, 3, 5, 7 and 9 of category 22. Each is answered (command
    // plus one); a request of the wrong length is answered with -EINVAL.
    void Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data, std::size_t length);
    // An application has gone: its store is let go (see above).
    void Drop(std::int32_t address);
    std::vector<std::string> Describe(std::int32_t address) const;
    // The operation that fails on demand; kNone: none.
    enum class Failure { kNone, kRead, kWrite, kSave };
    // Makes one operation of `address` fail with -EIO, as a failing EEPROM
    // would (kNone: none fails). A failed save leaves the state "save failed".
    void SetFailure(std::int32_t address, Failure operation);
    // The platform restarts: every application is taken for gone, and what
    // was not saved is lost.
    void Restart();
    // The stores held for applications that have gone, and the memory of
    // all stores.
    std::vector<std::string> DescribeHeld() const;

    std::string PathOf(std::int32_t address) const;

    // What the platform holds for the application at `address` now, saved
    // or not: `length` bytes from `offset` of its store in memory; for an
    // application that has gone, of what it finds when it returns (its
    // bytes put aside, or its file; erased bytes without one). For a test
    // bench: a store not in memory is read here, on the worker. 0, -EBUSY
    // while a file operation of its store is under way (ask again), -EFAULT
    // when the range reaches past the end, or the negative errno value of a
    // file that cannot be read.
    int Held(std::int32_t address, std::size_t offset, std::size_t length, std::vector<std::uint8_t>* out) const;

private:
    struct Request {
        std::int32_t command;
        std::vector<std::uint8_t> data;
    };
    struct Slot {
        std::shared_ptr<EepromStore> store;  // null: not loaded, put aside, or with the file thread
        bool busy = false;                   // a file operation is under way
        bool present = true;                 // its application is connected
        bool putAside = false;               // its unsaved bytes are in the scratch file
        bool forget = false;                 // let go without its unsaved bytes (a restart)
        EepromStore::State asideState = EepromStore::kModified;
        std::deque<Request> waiting;
    };
    // May let the store go (reset it) on the file thread, where freeing a
    // large store costs the buses nothing.
    using Operation = std::function<int(std::shared_ptr<EepromStore>& store)>;
    using Finish = std::function<void(std::int32_t address, Slot& slot, int result)>;

    std::string ScratchOf(std::int32_t address) const;
    // Answers one request from the store in memory.
    void Serve(std::int32_t address, Slot& slot, std::int32_t command, const std::uint8_t* data,
               std::size_t length);
    // Runs `operation` on the slot's store (created first when there is
    // none) on the file thread, then `finish` on the worker with the store
    // back in its slot.
    void Offload(std::int32_t address, Slot& slot, Operation operation, Finish finish);
    void Fetch(std::int32_t address, Slot& slot);
    // Serves waiting requests until one needs the file thread; lets the store
    // go once its application has gone and nothing waits.
    void Continue(std::int32_t address);
    void Release(std::int32_t address, Slot& slot);
    bool Fails(std::int32_t address, Failure operation) const;
    void ReplyValue(std::int32_t source, std::int32_t command, std::int32_t value);

    ServiceHost& host_;
    std::string folder_;
    std::size_t size_;
    int fileMode_;
    std::map<std::int32_t, Slot> slots_;
    std::map<std::int32_t, Failure> failures_;
    std::unique_ptr<BackgroundQueue> files_;
};

}  // namespace gatewaysim
