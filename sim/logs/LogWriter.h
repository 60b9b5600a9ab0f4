// Thread rule: not synchronised; the simulator's worker thread is its only
// user once it is open.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include "bus/Frames.h"

namespace gatewaysim {

// Writes frames to a log, one line per frame, in the log format of the
// common CAN tools (J1708 frames on the interface "j1708"; the simulator keeps
// them in a log of their own, which CAN tools are not given).
// Each line goes out in one write as it is made, so that a reader of the
// file sees whole lines while the simulator runs. A line that could not be
// written whole is taken back from a regular file; elsewhere (a pipe) the
// next line starts on a line of its own.
class LogWriter {
public:
    LogWriter() = default;
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Opens `path` for writing; "-" is standard output. A regular file that
    // exists and is not empty is refused (-EEXIST) unless `append`, which
    // adds to it. 0, or a negative errno value.
    int Open(const std::string& path, bool append = false);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // Lines for standard output go to `sink` instead (the console, which
    // keeps them out of the operator's typing); it returns false for a line
    // it could not write.
    void SetStandardOutputSink(std::function<bool(const std::string&)> sink) { sink_ = std::move(sink); }

    void Write(std::int64_t wallTimeUs, const CanFrame& frame);
    void Write(std::int64_t wallTimeUs, const J1708Frame& frame);
    // Lines that could not be written (a full disk, a closed pipe).
    std::uint64_t Failures() const { return failures_; }

private:
    void Line(std::string line);

    std::function<bool(const std::string&)> sink_;
    int fd_ = -1;
    bool ownsFd_ = false;
    bool regular_ = false;  // a regular file: a torn line is cut off again
    off_t size_ = 0;        // of the regular file after its last whole line
    bool torn_ = false;     // the last write left part of a line behind
    std::uint64_t failures_ = 0;
};

}  // namespace gatewaysim
