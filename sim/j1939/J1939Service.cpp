#include "j1939/J1939Service.h"
#include "services/SubscriptionTable.h"

#include <cstdio>

#include "services/Wire.h"

namespace gatewaysim {

namespace {

constexpr std::uint32_t kPgnAddressClaimed = 0xEE00;
constexpr std::int64_t kClaimWaitMs = 250;

}  // namespace

std::string J1939Service::Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof(text), "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

void J1939Service::Refuse(std::int32_t source, std::int32_t command, const std::string& reason) {
    host_.Report("application " + std::to_string(source) + ": J1939 command " + std::to_string(command) +
                 " refused: " + reason);
}

void J1939Service::AddStaticCas(const std::vector<StaticCa>& cas) {
    for (const StaticCa& ca : cas) {
        static_.push_back(ca);
        const CaTable::Outcome outcome = cas_.Claim(CaTable::kPlatform, ca.bus, ca.address, ca.name);
        if (outcome.claimed) NoteClaim(ca.bus, ca.address);
        AnnounceClaim(CaTable::kPlatform, ca.bus, ca.address, ca.name, outcome.claimed);
    }
}

void J1939Service::Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data,
                          std::size_t length) {
    if (data == nullptr) length = 0;
    switch (command) {
        case j1939::kCmdRequest:
            HandleRequest(source, data, length);
            return;
        case j1939::kCmdInterfaceManager:
            if (length != 1) {
                Refuse(source, command, "payload of " + std::to_string(length) + " bytes, expected 1");
            } else if (data[0] >= kCanBusCount) {
                Refuse(source, command, "no bus " + std::to_string(data[0]));
            } else {
                managers_.emplace(source, data[0]);
            }
            return;
        case j1939::kCmdCreateCA:
            HandleCreate(source, data, length);
            return;
        case j1939::kCmdRemoveCA:
            HandleRemove(source, data, length);
            return;
        case j1939::kCmdSubscribe:
        case j1939::kCmdUnsubscribe:
            HandleSubscription(source, command, data, length);
            return;
        case j1939::kCmdSend:
            HandleSend(source, data, length);
            return;
        default:
            Refuse(source, command, "unknown command");
    }
}

void J1939Service::HandleRequest(std::int32_t source, const std::uint8_t* data, std::size_t length) {
    if (length != 2) {
        Refuse(source, j1939::kCmdRequest, "payload of " + std::to_string(length) + " bytes, expected 2");
        return;
    }
    const std::uint16_t request = GetU16(data);
    std::int32_t replyCommand;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> list;
    if (request == j1939::kRequestCAsPresent) {
        // The requester's own CAs that hold their address: another
        // application's CA at the same address must not pass for its own.
        list = cas_.Present(source);
        replyCommand = j1939::kCmdCAsPresent;
    } else if (request == j1939::kRequestStaticCAs) {
        list = cas_.Present(CaTable::kPlatform);
        replyCommand = j1939::kCmdStaticCAs;
    } else {
        Refuse(source, j1939::kCmdRequest, "unknown request " + std::to_string(request));
        return;
    }
    std::vector<std::uint8_t> payload;
    payload.reserve(list.size() * 2);
    for (const auto& [bus, address] : list) {
        payload.push_back(bus);
        payload.push_back(address);
    }
    host_.Send(source, kCategoryJ1939, replyCommand, payload.data(), payload.size());
}

void J1939Service::HandleCreate(std::int32_t source, const std::uint8_t* data, std::size_t length) {
    if (length != j1939::kCreateCABytes) {
        Refuse(source, j1939::kCmdCreateCA, "payload of " + std::to_string(length) + " bytes, expected 20");
        return;
    }
    const std::uint8_t bus = data[0];
    const std::uint8_t address = data[1];
    if (bus >= kCanBusCount) {
        Refuse(source, j1939::kCmdCreateCA, "no bus " + std::to_string(bus));
        return;
    }
    if (address >= j1939::kNullAddress) {
        Refuse(source, j1939::kCmdCreateCA, "address " + Hex(address, 2) + " cannot be claimed");
        return;
    }
    const std::uint64_t name = PackName(NameFromRecord(data + 4));
    (void)ClaimFor(source, "application " + std::to_string(source), bus, address, name);
}

CaTable::Outcome J1939Service::ClaimFor(std::int32_t owner, const std::string& who, std::uint8_t bus,
                                        std::uint8_t address, std::uint64_t name) {
    const CaTable::Outcome outcome = cas_.Claim(owner, bus, address, name);
    if (outcome.claimed) NoteClaim(bus, address);
    AnnounceClaim(owner, bus, address, name, outcome.claimed);
    const std::string where = "can" + std::to_string(bus) + " address " + Hex(address, 2);
    if (outcome.claimed && outcome.displaced && outcome.loser.owner == CaTable::kBus) {
        // Only its claim on the wire told of that node: if it is there it
        // defends the address within 250 ms, and the new CA loses it then.
        host_.Report("J1939: " + who + " (NAME " + Hex(name, 16) + ") claims " +
                     where + ", last claimed from the bus by NAME " + Hex(outcome.loser.name, 16));
    } else if (outcome.claimed && outcome.displaced) {
        host_.Report("J1939: " + who + " (NAME " + Hex(name, 16) + ") took " +
                     where + " from " + OwnerText(outcome.loser.owner) + " (NAME " + Hex(outcome.loser.name, 16) + ")");
        host_.Note("address-lost", where + ": " + OwnerText(outcome.loser.owner) + " (NAME " +
                                       Hex(outcome.loser.name, 16) + ") lost it to " + who);
        AnnounceClaim(outcome.loser.owner, bus, address, outcome.loser.name, false);
        transport_.DropSource(bus, address, "the CA lost its address");
        SendCAsPresent(outcome.loser.owner);
    } else if (!outcome.claimed) {
        const CaTable::Ca* holder = cas_.HolderOf(bus, address);
        host_.Report("J1939: " + who + " (NAME " + Hex(name, 16) +
                     ") lost the contest for " + where + " (held by NAME " +
                     Hex(holder != nullptr ? holder->name : 0, 16) + ")");
        host_.Note("address-lost", where + ": " + who + " (NAME " +
                                       Hex(name, 16) + ") lost the contest to NAME " +
                                       Hex(holder != nullptr ? holder->name : 0, 16));
    }
    return outcome;
}

bool J1939Service::ClaimForNode(std::int32_t owner, std::uint8_t bus, std::uint8_t address, std::uint64_t name) {
    if (owner > CaTable::kFirstNode || bus >= kCanBusCount || address >= j1939::kNullAddress) return false;
    return ClaimFor(owner, OwnerText(owner), bus, address, name).claimed;
}

void J1939Service::ReleaseNode(std::int32_t owner, std::uint8_t bus, std::uint8_t address) {
    if (owner > CaTable::kFirstNode) return;
    if (cas_.Holds(owner, bus, address)) transport_.DropSource(bus, address, "its node left the bus");
    CaTable::Reclaims reclaims;
    if (cas_.Remove(owner, bus, address, &reclaims)) AnnounceReclaims(reclaims);
}

bool J1939Service::SendFromNode(std::int32_t owner, std::uint8_t bus, const J1939Header& header,
                                const std::uint8_t* data, std::size_t length) {
    if (owner > CaTable::kFirstNode || bus >= kCanBusCount || !cas_.Holds(owner, bus, header.source)) return false;
    return transport_.Send(owner, bus, header, data, length, NotBefore(bus, header.source));
}

std::int64_t J1939Service::NotBefore(std::uint8_t bus, std::uint8_t address) const {
    const auto claimed = claimedUs_.find({bus, address});
    if (claimed != claimedUs_.end() && address >= 128 && address <= 247) return claimed->second + kClaimWaitMs * 1000;
    return 0;
}

void J1939Service::HandleRemove(std::int32_t source, const std::uint8_t* data, std::size_t length) {
    if (length != 2) {
        Refuse(source, j1939::kCmdRemoveCA, "payload of " + std::to_string(length) + " bytes, expected 2");
        return;
    }
    CaTable::Reclaims reclaims;
    if (cas_.Holds(source, data[0], data[1])) transport_.DropSource(data[0], data[1], "its CA was removed");
    if (cas_.Remove(source, data[0], data[1], &reclaims)) {
        AnnounceReclaims(reclaims);
        return;
    }
    // An application that attached to a static CA removes it as well when it
    // ends; the platform's CA stays.
    if (data[0] < kCanBusCount && IsStatic(data[0], data[1])) return;
    Refuse(source, j1939::kCmdRemoveCA,
           "no CA of this application at can" + std::to_string(data[0]) + " address " + Hex(data[1], 2));
}

void J1939Service::HandleSubscription(std::int32_t source, std::int32_t command, const std::uint8_t* data,
                                      std::size_t length) {
    if (length != j1939::kSubscriptionBytes) {
        Refuse(source, command, "payload of " + std::to_string(length) + " bytes, expected 16");
        return;
    }
    Subscription s{data[0], GetU32(data + 4), GetU32(data + 8), data[12]};
    if (s.bus >= kCanBusCount) {
        Refuse(source, command, "no bus " + std::to_string(s.bus));
        return;
    }
    if (s.mode > 3) {
        Refuse(source, command, "unknown mode " + std::to_string(s.mode));
        return;
    }
    const char* refusal =
        UpdateSubscriptions(subscriptions_, source, s, command == j1939::kCmdSubscribe,
                            [](const Subscription& a, const Subscription& b) { return a == b; });
    if (refusal != nullptr) Refuse(source, command, refusal);
}

void J1939Service::HandleSend(std::int32_t source, const std::uint8_t* data, std::size_t length) {
    if (length < j1939::kSendHeaderBytes) {
        Refuse(source, j1939::kCmdSend, "payload of " + std::to_string(length) + " bytes is shorter than 20");
        return;
    }
    const std::uint16_t count = GetU16(data + 8);
    if (count > j1939::kMaxPayload) {
        Refuse(source, j1939::kCmdSend, "length " + std::to_string(count) + " exceeds 1785");
        return;
    }
    if (length != j1939::kSendHeaderBytes + count) {
        Refuse(source, j1939::kCmdSend,
               "payload of " + std::to_string(length) + " bytes for a length of " + std::to_string(count));
        return;
    }
    const std::uint8_t bus = data[0];
    J1939Header header;
    header.source = data[1];
    header.destination = data[2];
    header.priority = data[3];
    header.pgn = GetU32(data + 4);
    if (bus >= kCanBusCount) {
        Refuse(source, j1939::kCmdSend, "no bus " + std::to_string(bus));
        return;
    }
    if (header.priority > 7) {
        Refuse(source, j1939::kCmdSend, "priority " + std::to_string(header.priority) + " exceeds 7");
        return;
    }
    if (header.pgn > 0x3FFFF) {
        Refuse(source, j1939::kCmdSend, "PGN " + Hex(header.pgn, 1) + " exceeds 18 bits");
        return;
    }
    if (!cas_.Holds(source, bus, header.source) && !cas_.Holds(CaTable::kPlatform, bus, header.source)) {
        Refuse(source, j1939::kCmdSend,
               "source address " + Hex(header.source, 2) + " is not held by a CA of this application on can" +
                   std::to_string(bus));
        return;
    }
    // A CA that claimed an arbitrary address (128 to 247) sends on it only
    // 250 ms after its claim; what it sends before waits.
    transport_.Send(source, bus, header, data + j1939::kSendHeaderBytes, count, NotBefore(bus, header.source));
}

void J1939Service::DeliverMessage(std::uint8_t bus, const J1939Header& header, const std::uint8_t* data,
                                  std::size_t length, const Origin& origin) {
    std::vector<std::uint8_t> record;
    for (const auto& [address, list] : subscriptions_) {
        if (address == origin.address && origin.kind == Origin::Kind::kApplication) continue;
        if (address == origin.address && origin.kind == Origin::Kind::kJ1939 &&
            !IsForAnotherCaOf(address, bus, header))
            continue;
        bool match = false;
        for (const Subscription& s : list) {
            if (s.bus != bus) continue;
            switch (s.mode) {
                case 0: match = s.pgn == header.pgn; break;
                case 1: match = s.address == header.source; break;
                case 2: match = s.pgn == header.pgn && s.address == header.source; break;
                default: match = true; break;
            }
            if (match) break;
        }
        if (!match) continue;
        if (record.empty()) {
            record.assign(j1939::kReceiveHeaderBytes + length, 0);
            record[0] = bus;
            record[1] = header.source;
            record[2] = header.destination;
            record[3] = header.priority;
            PutU32(&record[4], header.pgn);
            PutU16(&record[8], static_cast<std::uint16_t>(length));
            for (std::size_t i = 0; i < length; ++i) record[j1939::kReceiveHeaderBytes + i] = data[i];
        }
        host_.Send(address, kCategoryJ1939, j1939::kCmdReceived, record.data(), record.size());
    }
    if (nodes_ != nullptr) nodes_->OnMessage(bus, header, data, length, origin);
}

void J1939Service::AnnounceClaim(std::int32_t owner, std::uint8_t bus, std::uint8_t address,
                                 std::uint64_t name, bool claimed) {
    J1939Header header;
    header.priority = 6;
    header.pgn = kPgnAddressClaimed;
    header.destination = j1939::kGlobalAddress;
    header.source = claimed ? address : j1939::kNullAddress;
    CanFrame frame;
    frame.bus = bus;
    frame.extended = true;
    frame.id = ComposeId(header);
    frame.length = 8;
    for (int i = 0; i < 8; ++i) frame.data[i] = static_cast<std::uint8_t>(name >> (8 * i));
    host_.PutOnBus(frame, OriginOf(owner));
}

void J1939Service::AnnounceReclaims(const CaTable::Reclaims& reclaims) {
    for (const CaTable::Ca& ca : reclaims) {
        host_.Report("J1939: the platform's static CA claims can" + std::to_string(ca.bus) + " address " +
                     Hex(ca.address, 2) + " again");
        NoteClaim(ca.bus, ca.address);
        AnnounceClaim(ca.owner, ca.bus, ca.address, ca.name, true);
    }
}

bool J1939Service::IsStatic(std::uint8_t bus, std::uint8_t address) const {
    for (const StaticCa& ca : static_) {
        if (ca.bus == bus && ca.address == address) return true;
    }
    return false;
}

void J1939Service::Drop(std::int32_t address) {
    subscriptions_.erase(address);
    for (auto it = managers_.begin(); it != managers_.end();) {
        it = it->first == address ? managers_.erase(it) : std::next(it);
    }
    for (const CaTable::Ca& ca : cas_.Of(address)) {
        if (ca.holds) transport_.DropSource(ca.bus, ca.address, "its application is gone");
    }
    CaTable::Reclaims reclaims;
    cas_.RemoveOwner(address, &reclaims);
    AnnounceReclaims(reclaims);
}

std::vector<std::string> J1939Service::Describe(std::int32_t address) const {
    std::vector<std::string> lines;
    for (const auto& [owner, bus] : managers_) {
        if (owner == address) lines.push_back("J1939 interface manager can" + std::to_string(bus));
    }
    for (const CaTable::Ca& ca : cas_.Of(address)) {
        lines.push_back("J1939 CA can" + std::to_string(ca.bus) + " address " + Hex(ca.address, 2) +
                        " NAME " + Hex(ca.name, 16) + (ca.holds ? "" : " (lost its address)"));
    }
    const auto it = subscriptions_.find(address);
    if (it != subscriptions_.end()) {
        for (const Subscription& s : it->second) {
            std::string line = "J1939 subscription can" + std::to_string(s.bus);
            if (s.mode == 0 || s.mode == 2) line += " PGN " + Hex(s.pgn, 4);
            if (s.mode == 1 || s.mode == 2) line += " from source " + Hex(s.address, 2);
            if (s.mode != 0 && s.mode != 1 && s.mode != 2) line += " all";
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> J1939Service::DescribeStatic() const {
    std::vector<std::string> lines;
    for (const CaTable::Ca& ca : cas_.Of(CaTable::kPlatform)) {
        lines.push_back("static CA can" + std::to_string(ca.bus) + " address " + Hex(ca.address, 2) +
                        " NAME " + Hex(ca.name, 16) + (ca.holds ? "" : " (lost its address)"));
    }
    return lines;
}

}  // namespace gatewaysim
