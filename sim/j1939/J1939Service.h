// Thread rule: worker thread only (see ServiceHost.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "j1939/CaTable.h"
#include "bus/Frames.h"
#include "j1939/J1939Codec.h"
#include "j1939/J1939Transport.h"
#include "services/ServiceHost.h"

namespace gatewaysim {

// The J1939 service: interface managers, CAs with address claim, static CAs
// of the platform, subscriptions by PGN and/or source address, and delivery
// of messages between applications and to and from the CAN buses. Its
// network side (transport protocol, address management on the wire) is in
// J1939Network.cpp and J1939Transport.
class J1939Service : private J1939Transport::Link {
public:

    struct StaticCa {
        std::uint8_t bus = 0;
        std::uint8_t address = 0;
        std::uint64_t name = 0;
    };

    // The simulator's own ECUs (simulated nodes): CAs of owners at or below
    // CaTable::kFirstNode, which claim, send and hear like any node.
    class NodeListener {
    public:
        virtual ~NodeListener() = default;
        // Every whole J1939 message on a bus: single frames and completed
        // transport sessions, whoever sent them.
        virtual void OnMessage(std::uint8_t bus, const J1939Header& header, const std::uint8_t* data,
                               std::size_t length, const Origin& origin) = 0;
        // How the reports name the node of `owner`.
        virtual std::string NodeText(std::int32_t owner) const = 0;
    };

    explicit J1939Service(ServiceHost& host, J1939Transport::Options transport = {})
        : host_(host), transport_(*this, transport) {}

    // At most one; null: none (the nodes hear nothing).
    void SetNodeListener(NodeListener* listener) { nodes_ = listener; }
    // Claims (bus, address) for the node of `owner` and announces it, as an
    // application's CA does; true when the node holds the address.
    bool ClaimForNode(std::int32_t owner, std::uint8_t bus, std::uint8_t address, std::uint64_t name);
    // The node leaves the bus without a word: its sessions end, its address
    // is free.
    void ReleaseNode(std::int32_t owner, std::uint8_t bus, std::uint8_t address);
    bool NodeHolds(std::int32_t owner, std::uint8_t bus, std::uint8_t address) const {
        return cas_.Holds(owner, bus, address);
    }
    // Sends a message of the node's CA at `header.source` (by transport
    // when longer than 8 bytes); false when the node does not hold that
    // address or the message was dropped (reported).
    bool SendFromNode(std::int32_t owner, std::uint8_t bus, const J1939Header& header, const std::uint8_t* data,
                      std::size_t length);

    // Claims the addresses of the platform's static CAs. Called once, before
    // any application is served.
    void AddStaticCas(const std::vector<StaticCa>& cas);

    // One child message of category 13 from the application `source`.
    void Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data, std::size_t length);
    // Every extended frame on a bus. Transport frames feed the sessions;
    // any other frame is delivered as a single-frame message, and requests
    // for address claimed and claims from elsewhere are answered.
    void DeliverFrame(const CanFrame& frame, const Origin& origin);
    void Drop(std::int32_t address);
    // Does the network's timed work; milliseconds until the next, or -1.
    std::int64_t Poll() { return transport_.Poll(); }

    // Per bus, the address table and the open transport sessions.
    std::vector<std::string> DescribeNetwork() const;

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
    // Claims an address for a CA of `owner` (`who` in the reports),
    // announces it and settles the contest.
    CaTable::Outcome ClaimFor(std::int32_t owner, const std::string& who, std::uint8_t bus, std::uint8_t address,
                              std::uint64_t name);
    // When a CA at (bus, address) may send: 250 ms after claiming an
    // arbitrary address (128 to 247), otherwise at once (0).
    std::int64_t NotBefore(std::uint8_t bus, std::uint8_t address) const;
    void HandleRemove(std::int32_t source, const std::uint8_t* data, std::size_t length);
    void HandleSubscription(std::int32_t source, std::int32_t command, const std::uint8_t* data,
                            std::size_t length);
    void HandleSend(std::int32_t source, const std::uint8_t* data, std::size_t length);

    // Delivers a message to every application with a matching subscription
    // on `bus`, but never back to the CA that sent it (`origin`): its
    // application gets it only when another CA of it is addressed.
    void DeliverMessage(std::uint8_t bus, const J1939Header& header, const std::uint8_t* data,
                        std::size_t length, const Origin& origin);
    bool IsForAnotherCaOf(std::int32_t application, std::uint8_t bus, const J1939Header& header) const;
    // Announces a claim on the bus: the address-claimed message from the
    // claimed address, or from the null address when the claim failed.
    void AnnounceClaim(std::int32_t owner, std::uint8_t bus, std::uint8_t address, std::uint64_t name,
                       bool claimed);
    void AnnounceReclaims(const CaTable::Reclaims& reclaims);
    bool IsStatic(std::uint8_t bus, std::uint8_t address) const;
    static Origin OriginOf(std::int32_t owner);
    std::string OwnerText(std::int32_t owner) const;
    static std::string Hex(std::uint64_t value, int digits);
    void NoteClaim(std::uint8_t bus, std::uint8_t address);
    // Tells an application that a CA of it lost its address: its list of
    // the CAs present, as the reply to request 10 carries it.
    void SendCAsPresent(std::int32_t application);

    // J1939Transport::Link
    std::int64_t NowUs() override;
    void Emit(const CanFrame& frame, std::int32_t owner) override;
    void Complete(std::uint8_t bus, const J1939Header& header, const std::vector<std::uint8_t>& data,
                  const Origin& origin) override;
    bool Hosted(std::uint8_t bus, std::uint8_t address, std::int32_t* owner) override;
    void Report(const std::string& line) override { host_.Report(line); }

    // Address management on the wire.
    void AnswerRequestForClaims(std::uint8_t bus, std::uint8_t destination);
    void ContestClaimFromBus(std::uint8_t bus, std::uint8_t address, std::uint64_t name);

    ServiceHost& host_;
    CaTable cas_;
    std::vector<StaticCa> static_;
    std::map<std::int32_t, std::vector<Subscription>> subscriptions_;
    std::set<std::pair<std::int32_t, std::uint8_t>> managers_;  // (application, bus)
    std::map<std::pair<std::uint8_t, std::uint8_t>, std::int64_t> claimedUs_;  // (bus, address): when claimed
    std::minstd_rand jitter_;
    NodeListener* nodes_ = nullptr;
    J1939Transport transport_;
};

}  // namespace gatewaysim
