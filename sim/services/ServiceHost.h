// Thread rule: the services and their host run on the simulator's worker
// thread only; nothing here is synchronised, except Post.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "bus/Frames.h"

namespace gatewaysim {

// What a service needs from the simulator around it.
class ServiceHost {
public:
    virtual ~ServiceHost() = default;

    // Sends one message (one child) to the application at `address`, as the
    // service of `category`.
    virtual void Send(std::int32_t address, std::int32_t category, std::int32_t command,
                      const std::uint8_t* data, std::size_t length) = 0;
    // One line for the operator (refused requests, job progress, drift).
    virtual void Report(const std::string& line) = 0;
    // Notes an event of the run for its events file (`kind` as listed in
    // report/Events.h, `detail` for people). Nothing by default.
    virtual void Note(const std::string& kind, const std::string& detail) {
        (void)kind;
        (void)detail;
    }
    // Puts a frame on a CAN bus: the log, the timing check, the CAN
    // subscribers and, for extended frames, the J1939 service see it.
    virtual void PutOnBus(const CanFrame& frame, const Origin& origin) = 0;
    // Puts a frame on the J1708 bus: the log and the J1708 subscribers.
    virtual void PutOnJ1708(const J1708Frame& frame, const Origin& origin) = 0;
    // Runs `task` on the worker thread later; callable from any thread. The
    // task is dropped once the simulator stops.
    virtual void Post(std::function<void()> task) = 0;
};

}  // namespace gatewaysim
