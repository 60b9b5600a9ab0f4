// Thread rule: worker thread only (see ServiceHost.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "CaTable.h"
#include "Frames.h"
#include "J1939Codec.h"
#include "ServiceHost.h"

namespace gatewaysim {

// The J1939 service: interface managers, CAs with address claim, static CAs
// of the platform, subscriptions by PGN and/or source address, and delivery
// of messages between applications and to and from the CAN buses.
class J1939Service {
public:

    struct StaticCa {
        std::uint8_t bus = 0;
        std::uint8_t address = 0;
        std::uint64_t name = 0;
    };

    explicit J1939Service(ServiceHost& host) : host_(host) {}

    // Claims the addresses of the platform's static CAs. Called once, before
    // any application is served.
    void AddStaticCas(const std::vector<StaticCa>& cas);

    // One child message of category 13 from the application `source`.
    void Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data, std::size_t length);
    // An extended frame that reached a bus from elsewhere (a raw CAN send, a
    // replayed log, the operator): delivered as a single-frame message.
    void DeliverFrame(const CanFrame& frame, const Origin& origin);
    void Drop(std::int32_t address);

    std::vector<std::string> Describe(std::int32_t address) const;
    // The static CAs, one line each.
    std::vector<std::string> DescribeStatic() const;

private:
    struct Subscription {
        std::uint8_t bus;
        std::uint32_t mode;  // 0 PGN, 1 source address, 2 both, 3 all
        std::uint32_t pgn;
        std::uint8_t address;
        bool operator==(const Subscription& o) const {
            return bus == o.bus && mode == o.mode && pgn == o.pgn && address == o.address;
        }
    };

    void Refuse(std::int32_t source, std::int32_t command, const std::string& reason);
    void HandleRequest(std::int32_t source, const std::uint8_t* data, std::size_t length);
    void HandleCreate(std::int32_t source, const std::uint8_t* data, std::size_t length);
    void HandleRemove(std::int32_t source, const std::uint8_t* data, std::size_t length);
    void HandleSubscription(std::int32_t source, std::int32_t command, const std::uint8_t* data,
                            std::size_t length);
    void HandleSend(std::int32_t source, const std::uint8_t* data, std::size_t length);

    // Delivers a message to every application, but `exceptAddress`, with a
    // matching subscription on `bus`.
    void DeliverMessage(std::uint8_t bus, const J1939Header& header, const std::uint8_t* data,
                        std::size_t length, std::int32_t exceptAddress);
    // Announces a claim on the bus: the address-claimed message from the
    // claimed address, or from the null address when the claim failed.
    void AnnounceClaim(std::int32_t owner, std::uint8_t bus, std::uint8_t address, std::uint64_t name,
                       bool claimed);
    void AnnounceReclaims(const CaTable::Reclaims& reclaims);
    bool IsStatic(std::uint8_t bus, std::uint8_t address) const;

    ServiceHost& host_;
    CaTable cas_;
    std::vector<StaticCa> static_;
    std::map<std::int32_t, std::vector<Subscription>> subscriptions_;
    std::set<std::pair<std::int32_t, std::uint8_t>> managers_;  // (application, bus)
};

}  // namespace gatewaysim
