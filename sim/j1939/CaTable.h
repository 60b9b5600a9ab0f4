// Thread rule: not synchronised; the simulator's worker thread is its only
// user.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace gatewaysim {

// The controller applications (CAs) on the simulated J1939 buses and the
// address claim among them.
//
// At most one CA holds a (bus, address) at a time. A CA that claims an
// address held by another wins it if its NAME is numerically lower; the
// other one loses it and no longer counts as present. On equal NAMEs the
// holder keeps the address. A node known only from its claim on the bus
// (owner kBus) may have gone silent: a new claim takes its address whatever
// its NAME, and the node is forgotten; if it is there it defends the
// address on the wire, and that claim decides. A CA of an application that lost its address
// stays without one (it does not claim again), while a CA of the platform
// (a static CA from the configuration) claims its address again once the CA
// that took it is gone.
class CaTable {
public:
    // Owner of the platform's own (static) CAs.
    static constexpr std::int32_t kPlatform = 0;
    // Owner of the nodes whose claims came from the bus.
    static constexpr std::int32_t kBus = -1;
    // Owners at or below: the simulator's own ECUs (simulated nodes).
    static constexpr std::int32_t kFirstNode = -2;

    struct Ca {
        std::int32_t owner = kPlatform;  // application address, kPlatform, kBus or a simulated node
        std::uint8_t bus = 0;
        std::uint8_t address = 0;
        std::uint64_t name = 0;
        bool holds = false;  // holds its address (is present)
    };

    // What a claim changed.
    struct Outcome {
        bool claimed = false;      // the new CA holds its address
        bool displaced = false;    // ... taken from `loser`
        Ca loser;                  // the CA that lost the contest (the new one when !claimed)
    };
    // What a removal changed: CAs of the platform that hold their address again.
    using Reclaims = std::vector<Ca>;

    // Adds a CA and runs the contest. A CA of the same owner at the same bus
    // and address is replaced.
    Outcome Claim(std::int32_t owner, std::uint8_t bus, std::uint8_t address, std::uint64_t name);
    // Removes the CA of `owner` at (bus, address); false if it has none there.
    bool Remove(std::int32_t owner, std::uint8_t bus, std::uint8_t address, Reclaims* reclaims);
    // Removes every CA of `owner`.
    void RemoveOwner(std::int32_t owner, Reclaims* reclaims);

    // (bus, address) of the CAs of `owner` that hold their address, in the
    // order of their creation.
    std::vector<std::pair<std::uint8_t, std::uint8_t>> Present(std::int32_t owner) const;
    // True if a CA of `owner` holds (bus, address).
    bool Holds(std::int32_t owner, std::uint8_t bus, std::uint8_t address) const;
    // Every CA of `owner`, present or not.
    std::vector<Ca> Of(std::int32_t owner) const;
    // The CA that holds (bus, address), or null.
    const Ca* HolderOf(std::uint8_t bus, std::uint8_t address) const;
    // Every CA, in order of creation.
    const std::vector<Ca>& All() const { return cas_; }

private:
    Ca* Holder(std::uint8_t bus, std::uint8_t address);
    void ReclaimFreed(std::uint8_t bus, std::uint8_t address, Reclaims* reclaims);

    std::vector<Ca> cas_;  // in order of creation
};

}  // namespace gatewaysim
