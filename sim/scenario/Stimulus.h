// Thread rule: Every and Stop from the thread that runs the scenario; the
// frames are sent from a thread of the Stimulus's own, joined by Stop(all)
// and the destructor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gatewaysim {

// The cyclic frames a scenario feeds the buses, as a vehicle's nodes do:
// each an operator command ("can1 18FEF100#01") sent every period, the
// first at once, without drift.
class Stimulus {
public:
    using Clock = std::chrono::steady_clock;
    using Send = std::function<void(const std::string& command)>;

    explicit Stimulus(Send send) : send_(std::move(send)) {}
    ~Stimulus() { Stop(""); }
    Stimulus(const Stimulus&) = delete;
    Stimulus& operator=(const Stimulus&) = delete;

    // Sends `command` every `period` until `until` (Clock::time_point::max()
    // for ever); replaces a cycle of the same command.
    void Every(const std::string& command, Clock::duration period, Clock::time_point until);
    // Ends the cycle of `command`, or every cycle when it is empty; false
    // when there was no such cycle.
    bool Stop(const std::string& command);

private:
    struct Cycle {
        std::string command;
        Clock::duration period;
        Clock::time_point next;
        Clock::time_point until;
    };
    void Loop();

    Send send_;
    std::mutex lock_;  // guards cycles_ and ending_
    std::condition_variable changed_;
    std::vector<Cycle> cycles_;
    bool ending_ = false;
    std::thread thread_;  // started with the first cycle
};

}  // namespace gatewaysim
