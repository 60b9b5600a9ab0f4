// Thread rule: not synchronised; the simulator's worker thread is its only
// user once it is open.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "bus/Frames.h"

namespace gatewaysim {

// Writes frames to a log, one line per frame, in the log format of the
// common CAN tools (J1708 frames on the interface "j1708"; the simulator keeps
// them in a log of their own, which CAN tools are not given).
// Each line is flushed as it is written, so that a reader of the file sees
// whole lines while the simulator runs.
class LogWriter {
public:
    LogWriter() = default;
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Opens `path` for writing (truncating it); "-" is standard output.
    // 0, or a negative errno value.
    int Open(const std::string& path);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    void Write(std::int64_t wallTimeUs, const CanFrame& frame);
    void Write(std::int64_t wallTimeUs, const J1708Frame& frame);
    // Lines that could not be written (a full disk, a closed pipe).
    std::uint64_t Failures() const { return failures_; }

private:
    void Line(const std::string& line);

    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    std::uint64_t failures_ = 0;
};

}  // namespace gatewaysim
