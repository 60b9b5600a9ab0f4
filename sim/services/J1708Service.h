// Thread rule: worker thread only (see ServiceHost.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "bus/Frames.h"
#include "services/ServiceHost.h"

namespace gatewaysim {

// The J1708 service: one bus, subscribers, and frames sent by applications,
// delivered to the other subscribers with their checksum appended.
class J1708Service {
public:
    explicit J1708Service(ServiceHost& host) : host_(host) {}

    void Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data, std::size_t length);
    // Delivers a frame of the bus to every subscriber but its sender.
    void Deliver(const J1708Frame& frame, const Origin& origin);
    void Drop(std::int32_t address) { subscribers_.erase(address); }
    std::vector<std::string> Describe(std::int32_t address) const;

private:
    void Refuse(std::int32_t source, std::int32_t command, const std::string& reason);

    ServiceHost& host_;
    std::set<std::int32_t> subscribers_;
};

}  // namespace gatewaysim
