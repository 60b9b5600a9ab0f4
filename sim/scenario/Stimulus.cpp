#include "scenario/Stimulus.h"

#include <algorithm>

namespace gatewaysim {

void Stimulus::Every(const std::string& command, Clock::duration period, Clock::time_point until) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        cycles_.erase(std::remove_if(cycles_.begin(), cycles_.end(),
                                     [&](const Cycle& cycle) { return cycle.command == command; }),
                      cycles_.end());
        cycles_.push_back(Cycle{command, period, Clock::now(), until});
        ending_ = false;
    }
    changed_.notify_all();
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

bool Stimulus::Stop(const std::string& command) {
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const auto end = std::remove_if(cycles_.begin(), cycles_.end(), [&](const Cycle& cycle) {
            return command.empty() || cycle.command == command;
        });
        found = end != cycles_.end();
        cycles_.erase(end, cycles_.end());
        if (command.empty()) ending_ = true;
    }
    changed_.notify_all();
    if (command.empty() && thread_.joinable()) thread_.join();
    return found;
}

void Stimulus::Loop() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!ending_) {
        const Clock::time_point now = Clock::now();
        std::vector<std::string> due;
        Clock::time_point wake = Clock::time_point::max();
        for (auto it = cycles_.begin(); it != cycles_.end();) {
            if (it->next > it->until || now >= it->until) {
                it = cycles_.erase(it);
                continue;
            }
            if (it->next <= now) {
                due.push_back(it->command);
                it->next += it->period;
                // Behind by more than a period (a stalled machine): the
                // missed frames are not sent in a burst.
                if (it->next <= now) it->next = now + it->period;
            }
            wake = std::min(wake, it->next);
            ++it;
        }
        if (!due.empty()) {
            guard.unlock();
            for (const std::string& command : due) send_(command);
            guard.lock();
            continue;
        }
        if (wake == Clock::time_point::max()) {
            changed_.wait_for(guard, std::chrono::seconds(1));
        } else {
            changed_.wait_until(guard, wake);
        }
    }
}

}  // namespace gatewaysim
