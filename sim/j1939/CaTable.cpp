#include "j1939/CaTable.h"

#include <algorithm>

namespace gatewaysim {

CaTable::Ca* CaTable::Holder(std::uint8_t bus, std::uint8_t address) {
    return const_cast<Ca*>(HolderOf(bus, address));
}

const CaTable::Ca* CaTable::HolderOf(std::uint8_t bus, std::uint8_t address) const {
    for (const Ca& ca : cas_) {
        if (ca.holds && ca.bus == bus && ca.address == address) return &ca;
    }
    return nullptr;
}

CaTable::Outcome CaTable::Claim(std::int32_t owner, std::uint8_t bus, std::uint8_t address,
                                std::uint64_t name) {
    Reclaims ignored;
    Remove(owner, bus, address, &ignored);  // a repeated creation replaces the earlier one
    Ca fresh;
    fresh.owner = owner;
    fresh.bus = bus;
    fresh.address = address;
    fresh.name = name;

    Outcome outcome;
    Ca* holder = Holder(bus, address);
    if (holder == nullptr) {
        fresh.holds = true;
        outcome.claimed = true;
    } else if (name < holder->name || holder->owner == kBus) {
        fresh.holds = true;
        outcome.claimed = true;
        outcome.displaced = true;
        outcome.loser = *holder;
        if (holder->owner == kBus) {
            cas_.erase(cas_.begin() + (holder - cas_.data()));
        } else {
            holder->holds = false;
        }
    } else {
        outcome.loser = fresh;
    }
    cas_.push_back(fresh);
    return outcome;
}

void CaTable::ReclaimFreed(std::uint8_t bus, std::uint8_t address, Reclaims* reclaims) {
    if (Holder(bus, address) != nullptr) return;
    // The platform's CA with the lowest NAME takes its address back.
    Ca* best = nullptr;
    for (Ca& ca : cas_) {
        if (ca.owner == kPlatform && !ca.holds && ca.bus == bus && ca.address == address &&
            (best == nullptr || ca.name < best->name))
            best = &ca;
    }
    if (best == nullptr) return;
    best->holds = true;
    if (reclaims) reclaims->push_back(*best);
}

bool CaTable::Remove(std::int32_t owner, std::uint8_t bus, std::uint8_t address, Reclaims* reclaims) {
    const auto it = std::find_if(cas_.begin(), cas_.end(), [&](const Ca& ca) {
        return ca.owner == owner && ca.bus == bus && ca.address == address;
    });
    if (it == cas_.end()) return false;
    const bool held = it->holds;
    cas_.erase(it);
    if (held) ReclaimFreed(bus, address, reclaims);
    return true;
}

void CaTable::RemoveOwner(std::int32_t owner, Reclaims* reclaims) {
    std::vector<std::pair<std::uint8_t, std::uint8_t>> freed;
    for (const Ca& ca : cas_) {
        if (ca.owner == owner && ca.holds) freed.emplace_back(ca.bus, ca.address);
    }
    cas_.erase(std::remove_if(cas_.begin(), cas_.end(), [&](const Ca& ca) { return ca.owner == owner; }),
               cas_.end());
    for (const auto& [bus, address] : freed) ReclaimFreed(bus, address, reclaims);
}

std::vector<std::pair<std::uint8_t, std::uint8_t>> CaTable::Present(std::int32_t owner) const {
    std::vector<std::pair<std::uint8_t, std::uint8_t>> present;
    for (const Ca& ca : cas_) {
        if (ca.owner == owner && ca.holds) present.emplace_back(ca.bus, ca.address);
    }
    return present;
}

bool CaTable::Holds(std::int32_t owner, std::uint8_t bus, std::uint8_t address) const {
    for (const Ca& ca : cas_) {
        if (ca.owner == owner && ca.holds && ca.bus == bus && ca.address == address) return true;
    }
    return false;
}

std::vector<CaTable::Ca> CaTable::Of(std::int32_t owner) const {
    std::vector<Ca> result;
    for (const Ca& ca : cas_) {
        if (ca.owner == owner) result.push_back(ca);
    }
    return result;
}

}  // namespace gatewaysim
