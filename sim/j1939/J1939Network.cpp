// The J1939 service's network side: its link to the transport protocol,
// requests for address claimed, claims from the bus and the `j1939` view.
#include <algorithm>
#include <chrono>

#include "j1939/J1939Service.h"
#include "services/Wire.h"

namespace gatewaysim {

namespace {

constexpr std::uint32_t kPgnRequest = 0xEA00;
constexpr std::uint32_t kPgnAddressClaimed = 0xEE00;
constexpr std::uint32_t kCannotClaimDelaysUs = 153'001;  // a pseudo-random 0 to 153 ms

}  // namespace

Origin J1939Service::OriginOf(std::int32_t owner) {
    return Origin{Origin::Kind::kJ1939, owner == CaTable::kPlatform ? -1 : owner};
}

std::string J1939Service::OwnerText(std::int32_t owner) const {
    if (owner == CaTable::kPlatform) return "the platform's static CA";
    if (owner == CaTable::kBus) return "a node on the bus";
    if (owner <= CaTable::kFirstNode) return nodes_ != nullptr ? nodes_->NodeText(owner) : "a simulated node";
    return "a CA of application " + std::to_string(owner);
}

std::int64_t J1939Service::NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void J1939Service::NoteClaim(std::uint8_t bus, std::uint8_t address) {
    claimedUs_[{bus, address}] = NowUs();
}

void J1939Service::SendCAsPresent(std::int32_t application) {
    if (application <= 0) return;  // the platform's CAs and the nodes on the bus
    std::vector<std::uint8_t> payload;
    for (const auto& [bus, address] : cas_.Present(application)) {
        payload.push_back(bus);
        payload.push_back(address);
    }
    host_.Send(application, kCategoryJ1939, j1939::kCmdCAsPresent, payload.data(), payload.size());
}

void J1939Service::Emit(const CanFrame& frame, std::int32_t owner) {
    host_.PutOnBus(frame, OriginOf(owner));
}

void J1939Service::Complete(std::uint8_t bus, const J1939Header& header, const std::vector<std::uint8_t>& data,
                            const Origin& origin) {
    DeliverMessage(bus, header, data.data(), data.size(), origin);
}

bool J1939Service::Hosted(std::uint8_t bus, std::uint8_t address, std::int32_t* owner) {
    const CaTable::Ca* holder = cas_.HolderOf(bus, address);
    if (holder == nullptr || holder->owner == CaTable::kBus) return false;
    *owner = holder->owner;
    return true;
}

bool J1939Service::IsForAnotherCaOf(std::int32_t application, std::uint8_t bus, const J1939Header& header) const {
    for (const CaTable::Ca& ca : cas_.Of(application)) {
        if (ca.holds && ca.bus == bus && ca.address != header.source &&
            (header.destination == j1939::kGlobalAddress || header.destination == ca.address))
            return true;
    }
    return false;
}

void J1939Service::DeliverFrame(const CanFrame& frame, const Origin& origin) {
    if (!frame.extended || frame.remote || frame.bus >= kCanBusCount) return;
    if (IsTransportFrame(frame)) {
        transport_.OnFrame(frame, origin);
        return;
    }
    const J1939Header header = DecomposeId(frame.id);
    const std::size_t length = frame.length > 8 ? 8 : frame.length;
    DeliverMessage(frame.bus, header, frame.data, length, origin);
    if (header.pgn == kPgnRequest && length >= 3 &&
        (frame.data[0] | (frame.data[1] << 8) | (frame.data[2] << 16)) == kPgnAddressClaimed) {
        AnswerRequestForClaims(frame.bus, header.destination);
    } else if (header.pgn == kPgnAddressClaimed && length == 8 && origin.kind != Origin::Kind::kJ1939) {
        std::uint64_t name = 0;
        for (int i = 7; i >= 0; --i) name = (name << 8) | frame.data[i];
        ContestClaimFromBus(frame.bus, header.source, name);
    }
}

void J1939Service::AnswerRequestForClaims(std::uint8_t bus, std::uint8_t destination) {
    const std::vector<CaTable::Ca> cas = cas_.All();  // the answers go on the bus while we walk
    for (const CaTable::Ca& ca : cas) {
        if (ca.bus != bus || ca.owner == CaTable::kBus) continue;
        if (ca.holds && (destination == j1939::kGlobalAddress || destination == ca.address)) {
            AnnounceClaim(ca.owner, bus, ca.address, ca.name, true);
        } else if (!ca.holds && destination == j1939::kGlobalAddress) {
            // A CA without an address answers with cannot claim after a
            // pseudo-random delay, so that such answers do not collide;
            // each goes at its own time.
            J1939Header header;
            header.priority = 6;
            header.pgn = kPgnAddressClaimed;
            header.source = j1939::kNullAddress;
            std::uint8_t data[8];
            for (int i = 0; i < 8; ++i) data[i] = static_cast<std::uint8_t>(ca.name >> (8 * i));
            transport_.Send(ca.owner, bus, header, data, sizeof(data), NowUs() + jitter_() % kCannotClaimDelaysUs);
        }
    }
}

void J1939Service::ContestClaimFromBus(std::uint8_t bus, std::uint8_t address, std::uint64_t name) {
    if (address == j1939::kGlobalAddress) return;
    // A node that claims (or cannot claim) gives up what it held before.
    CaTable::Reclaims reclaims;
    for (const CaTable::Ca& ca : cas_.Of(CaTable::kBus)) {
        if (ca.bus == bus && ca.name == name && ca.address != address) cas_.Remove(CaTable::kBus, bus, ca.address, &reclaims);
    }
    if (address != j1939::kNullAddress) {
        const CaTable::Ca* current = cas_.HolderOf(bus, address);
        const CaTable::Ca holder = current != nullptr ? *current : CaTable::Ca{};
        const CaTable::Outcome outcome = cas_.Claim(CaTable::kBus, bus, address, name);
        const std::string claim = "J1939: can" + std::to_string(bus) + " address " + Hex(address, 2) + " claimed from the bus by NAME " + Hex(name, 16);
        if (outcome.claimed && outcome.displaced && outcome.loser.owner != CaTable::kBus) {
            host_.Report(claim + ": " + OwnerText(outcome.loser.owner) + " (NAME " + Hex(outcome.loser.name, 16) +
                         ") lost it and can no longer send from it");
            host_.Note("address-lost", "can" + std::to_string(bus) + " address " + Hex(address, 2) +
                                           ": " + OwnerText(outcome.loser.owner) + " (NAME " +
                                           Hex(outcome.loser.name, 16) + ") lost it to NAME " +
                                           Hex(name, 16));
            AnnounceClaim(outcome.loser.owner, bus, address, outcome.loser.name, false);
            transport_.DropSource(bus, address, "the CA lost its address");
            SendCAsPresent(outcome.loser.owner);
        } else if (!outcome.claimed && current != nullptr && holder.owner != CaTable::kBus && holder.name != name) {
            host_.Report(claim + ": " + OwnerText(holder.owner) + " (NAME " + Hex(holder.name, 16) +
                         ") keeps it and claims it again");
            AnnounceClaim(holder.owner, bus, address, holder.name, true);
        }
    }
    AnnounceReclaims(reclaims);
}

std::vector<std::string> J1939Service::DescribeNetwork() const {
    std::vector<std::string> lines;
    for (std::uint8_t bus = 0; bus < kCanBusCount; ++bus) {
        std::vector<CaTable::Ca> cas;
        for (const CaTable::Ca& ca : cas_.All()) {
            if (ca.bus == bus) cas.push_back(ca);
        }
        if (cas.empty()) continue;
        std::stable_sort(cas.begin(), cas.end(), [](const CaTable::Ca& a, const CaTable::Ca& b) {
            return a.holds != b.holds ? a.holds : a.address < b.address;
        });
        lines.push_back("can" + std::to_string(bus) + " addresses:");
        for (const CaTable::Ca& ca : cas) {
            const NameFields f = UnpackName(ca.name);
            const std::string owner = ca.owner == CaTable::kPlatform   ? "platform (static CA)"
                                      : ca.owner == CaTable::kBus      ? "bus"
                                      : ca.owner <= CaTable::kFirstNode ? OwnerText(ca.owner)
                                                                       : "application " + std::to_string(ca.owner);
            lines.push_back("  " + (ca.holds ? Hex(ca.address, 2) : "- (lost " + Hex(ca.address, 2) + ")") +
                            " NAME " + Hex(ca.name, 16) + " " + owner + ": identity " +
                            std::to_string(f.identityNumber) + ", manufacturer " + std::to_string(f.manufacturerCode) +
                            ", ECU instance " + std::to_string(f.ecuInstance) + ", function instance " +
                            std::to_string(f.functionInstance) + ", function " + std::to_string(f.function) +
                            ", vehicle system " + std::to_string(f.vehicleSystem) + ", vehicle system instance " +
                            std::to_string(f.vehicleSystemInstance) + ", industry group " +
                            std::to_string(f.industryGroup) + ", arbitrary address capable " +
                            std::to_string(f.arbitraryAddressCapable));
        }
    }
    const std::vector<std::string> sessions = transport_.Describe();
    lines.push_back(sessions.empty() ? "no transport session open" : "transport sessions:");
    for (const std::string& line : sessions) lines.push_back("  " + line);
    return lines;
}

}  // namespace gatewaysim
