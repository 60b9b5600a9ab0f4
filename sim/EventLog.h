// Thread rule: Open before the simulator starts; Record and Events from any
// thread (one lock, held only while a line is written or copied).
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "Events.h"

namespace gatewaysim {

// The events of a run (faults, applications, address claims, a scenario's
// expectations), kept for the report and, when a file is open, written to it
// as they happen, one JSON object a line, each flushed at once.
class EventLog {
public:
    // At most this many are kept for the report; the file gets every one.
    static constexpr std::size_t kMaxKept = 100000;

    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Creates (or empties) the file. 0, or a negative errno value with the
    // reason in `*error`.
    int Open(const std::string& path, std::string* error);
    // Records one event at `event.timeUs`. A write that fails is counted and
    // the event still kept.
    void Record(const report::Event& event);
    std::vector<report::Event> Events() const;
    std::size_t WriteFailures() const;

private:
    mutable std::mutex lock_;  // guards all below
    std::FILE* file_ = nullptr;
    std::vector<report::Event> kept_;
    std::size_t writeFailures_ = 0;
};

}  // namespace gatewaysim
