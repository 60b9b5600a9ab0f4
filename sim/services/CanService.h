// Thread rule: worker thread only (see ServiceHost.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bus/Frames.h"
#include "services/ServiceHost.h"

namespace gatewaysim {

// The CAN service: subscriptions per application, frames sent by
// applications, and delivery of every frame on a bus to the applications
// that subscribed to it.
class CanService {
public:
    // Subscriptions one application may hold; more are refused.

    explicit CanService(ServiceHost& host) : host_(host) {}

    // One child message of category 10 from the application `source`.
    void Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data, std::size_t length);
    // Delivers a frame of a bus to every application, but its sender, that
    // holds a matching subscription on that bus (once per application, however
    // many of its subscriptions match). Remote frames are not delivered: the
    // frame record has no way to express them.
    void Deliver(const CanFrame& frame, const Origin& origin);
    // Forgets an application that has gone.
    void Drop(std::int32_t address);

    // "can1 id 18FEF100 mask 1FFFFFFF" lines, for the operator's listing.
    std::vector<std::string> Describe(std::int32_t address) const;

private:
    struct Subscription {
        std::uint8_t bus;
        std::uint32_t id;
        std::uint32_t mask;
    };
    void Refuse(std::int32_t source, std::int32_t command, const std::string& reason);

    ServiceHost& host_;
    std::map<std::int32_t, std::vector<Subscription>> subscriptions_;
};

}  // namespace gatewaysim
