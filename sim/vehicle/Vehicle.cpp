#include "vehicle/Vehicle.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <utility>

#include "j1939/CaTable.h"
#include "services/Wire.h"

namespace gatewaysim {

namespace {

std::string Hex(std::uint64_t value, int digits) {
    char text[20];
    std::snprintf(text, sizeof(text), "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string DtcText(const Dtc& dtc) {
    std::string text = "SPN " + std::to_string(dtc.spn) + " FMI " + std::to_string(dtc.fmi) + " count " +
                       std::to_string(dtc.count);
    const char* names[4] = {"mil", "red", "amber", "protect"};
    for (unsigned i = 0; i < 4; ++i) {
        if (dtc.lamps & (1u << i)) text += std::string(" lamp ") + names[i] + ((dtc.flashing & (1u << i)) ? " flash" : "");
    }
    return text;
}

// The payload of an identification: the text with its closing '*'; the
// software identification begins with its number of fields.
std::vector<std::uint8_t> IdentPayload(std::uint32_t pgn, std::string text) {
    if (text.empty() || text.back() != '*') text += '*';
    std::vector<std::uint8_t> payload;
    if (pgn == 65242) payload.push_back(static_cast<std::uint8_t>(std::count(text.begin(), text.end(), '*')));
    payload.insert(payload.end(), text.begin(), text.end());
    while (payload.size() < 8) payload.push_back(0xFF);
    return payload;
}

const char* IdentName(std::uint32_t pgn) {
    return pgn == 65260 ? "vin" : pgn == 65242 ? "software" : "component";
}

}  // namespace

Vehicle::Node* Vehicle::Find(const std::string& name) {
    for (auto& node : nodes_) {
        if (node->name == name) return node.get();
    }
    return nullptr;
}

std::string Vehicle::NodeText(std::int32_t owner) const {
    const std::int64_t index = static_cast<std::int64_t>(CaTable::kFirstNode) - owner;
    if (index < 0 || static_cast<std::size_t>(index) >= nodes_.size()) return "a simulated node";
    return "node " + nodes_[static_cast<std::size_t>(index)]->name;
}

bool Vehicle::Active(const Node& node) const {
    return !node.paused && link_.Holds(node.owner, node.bus, node.address);
}

void Vehicle::Schedule(std::int64_t us, std::size_t node, int slot) {
    schedule_.push(Due{us, node, slot, nodes_[node]->generation});
}

bool Vehicle::Execute(const NodeCommand& command, std::string* text) {
    text->clear();
    if (command.kind == NodeCommand::Kind::kNodes) {
        *text = Describe();
        return true;
    }
    if (command.kind == NodeCommand::Kind::kNode) return AddNode(command, text);
    Node* node = Find(command.node);
    if (node == nullptr) {
        *text = "no node " + command.node;
        return false;
    }
    const std::size_t index = static_cast<std::size_t>(CaTable::kFirstNode - node->owner);
    switch (command.kind) {
        case NodeCommand::Kind::kPause:
            if (node->paused) return true;
            node->paused = true;
            ++node->generation;
            link_.Release(node->owner, node->bus, node->address);
            return true;
        case NodeCommand::Kind::kResume:
            if (!node->paused) return true;
            node->paused = false;
            Start(index);
            return true;
        case NodeCommand::Kind::kIdent: {
            std::vector<std::uint8_t> payload = IdentPayload(command.pgn, command.text);
            if (payload.size() > tp::kMaxMessage) {
                *text = "an identification is at most " + std::to_string(tp::kMaxMessage) + " bytes";
                return false;
            }
            for (auto& [pgn, data] : node->idents) {
                if (pgn == command.pgn) {
                    data = std::move(payload);
                    return true;
                }
            }
            node->idents.emplace_back(command.pgn, std::move(payload));
            return true;
        }
        case NodeCommand::Kind::kDtcAdd: {
            auto it = std::find_if(node->active.begin(), node->active.end(),
                                   [&](const Dtc& d) { return d.spn == command.spn && d.fmi == command.fmi; });
            // A DTC of 2 + 4n bytes: DM1 takes at most 445 of them.
            if (it == node->active.end() && node->active.size() >= (tp::kMaxMessage - 2) / 4) {
                *text = "node " + node->name + " has as many active DTCs as DM1 holds";
                return false;
            }
            const bool added = it == node->active.end();
            if (added) {
                Dtc dtc;
                dtc.spn = command.spn;
                dtc.fmi = command.fmi;
                dtc.count = 0;
                node->active.push_back(dtc);
                it = std::prev(node->active.end());
            }
            const Dtc before = *it;
            // Named: as given; otherwise one more occurrence.
            it->count = command.count >= 0 ? static_cast<std::uint8_t>(command.count)
                                           : static_cast<std::uint8_t>(std::min(126, it->count + 1));
            if (command.lamps != 0 || added) {
                it->lamps = command.lamps;
                it->flashing = command.flashing;
            }
            if (added || it->count != before.count || it->lamps != before.lamps || it->flashing != before.flashing)
                ActiveChanged(index);
            return true;
        }
        case NodeCommand::Kind::kDtcClear:
            (void)Deactivate(index);
            return true;
        case NodeCommand::Kind::kSet: {
            std::size_t message = 0;
            const signaldb::Signal* signal = nullptr;
            if (!FindSignal(*node, command, &message, &signal, text)) return false;
            const std::optional<double> value = signal->ParseValue(command.value);
            if (!value) {
                *text = command.value + " is neither a number nor a value name of " + signal->name;
                return false;
            }
            auto& ramps = node->ramps;
            ramps.erase(std::remove_if(ramps.begin(), ramps.end(), [&](const Ramp& r) { return r.signal == signal; }),
                        ramps.end());
            Message& m = node->messages[message];
            (void)signaldb::EncodeSignal(*m.dbc, *signal, *value, m.data.data(), m.data.size());
            return true;
        }
        case NodeCommand::Kind::kRamp: {
            std::size_t message = 0;
            const signaldb::Signal* signal = nullptr;
            if (!FindSignal(*node, command, &message, &signal, text)) return false;
            auto& ramps = node->ramps;
            ramps.erase(std::remove_if(ramps.begin(), ramps.end(), [&](const Ramp& r) { return r.signal == signal; }),
                        ramps.end());
            ramps.push_back(Ramp{message, signal, command.from, command.to, link_.NowUs(), command.ms * 1000});
            Message& m = node->messages[message];
            (void)signaldb::EncodeSignal(*m.dbc, *signal, command.from, m.data.data(), m.data.size());
            return true;
        }
        case NodeCommand::Kind::kNode:
        case NodeCommand::Kind::kNodes:
            break;
    }
    return false;
}

bool Vehicle::AddNode(const NodeCommand& command, std::string* text) {
    if (const Node* existing = Find(command.node)) {
        *text = "node " + command.node + " exists (can" + std::to_string(existing->bus) + " address " +
                Hex(existing->address, 2) + ")";
        return false;
    }
    if (nodes_.size() >= kMaxNodes) {
        *text = "at most " + std::to_string(kMaxNodes) + " nodes";
        return false;
    }
    auto node = std::make_unique<Node>();
    node->name = command.node;
    node->owner = CaTable::kFirstNode - static_cast<std::int32_t>(nodes_.size());
    node->bus = command.bus;
    node->address = command.address;
    // Without a NAME: identity number bus * 256 + address, every other field 0.
    node->caName = command.hasName ? command.name : (static_cast<std::uint64_t>(command.bus) << 8) | command.address;
    node->dbcNode = command.dbcNode;
    if (!node->dbcNode.empty() && !LoadMessages(*node, text)) return false;
    nodes_.push_back(std::move(node));
    Start(nodes_.size() - 1);
    return true;
}

void Vehicle::Start(std::size_t index) {
    Node& node = *nodes_[index];
    ++node.generation;
    node.changeDm1Due = false;  // a change DM1 of the earlier start is stale
    node.claimed = link_.Claim(node.owner, node.bus, node.address, node.caName);
    if (!node.claimed) {
        link_.Report("node " + node.name + ": lost the contest for can" + std::to_string(node.bus) + " address " +
                     Hex(node.address, 2) + "; it stays off the bus until resumed");
        return;
    }
    // A node's cyclic messages start a millisecond apart, and nodes started
    // together start at different milliseconds, as ECUs powered up at once
    // do: sending them all at once would queue a burst on the bus each time
    // their periods meet.
    constexpr std::size_t kRoundMs = 20;     // the first messages fall in one round
    constexpr std::size_t kNodeStepMs = 5;   // the next node given begins this much later
    const std::int64_t now = link_.NowUs();
    std::size_t ms = index * kNodeStepMs;
    const auto first = [&] { return now + static_cast<std::int64_t>(ms++ % kRoundMs) * 1000; };
    Schedule(first(), index, kSlotDm1);
    for (std::size_t i = 0; i < node.messages.size(); ++i) {
        if (node.messages[i].cycleUs > 0) Schedule(first(), index, static_cast<int>(i));
    }
}

void Vehicle::ActiveChanged(std::size_t index) {
    Node& node = *nodes_[index];
    if (!Active(node) || node.changeDm1Due) return;
    // A change goes out at once, but changes make at most one DM1 a second
    // besides the periodic one.
    const std::int64_t now = link_.NowUs();
    const std::int64_t at =
        node.lastChangeDm1Us < 0 ? now : std::max(now, node.lastChangeDm1Us + kDm1PeriodUs);
    node.changeDm1Due = true;
    Schedule(at, index, kSlotChangeDm1);
}

bool Vehicle::Deactivate(std::size_t index) {
    Node& node = *nodes_[index];
    for (const Dtc& dtc : node.active) {
        auto it = std::find_if(node.previous.begin(), node.previous.end(),
                               [&](const Dtc& d) { return d.spn == dtc.spn && d.fmi == dtc.fmi; });
        if (it == node.previous.end()) {
            node.previous.push_back(dtc);
        } else {
            it->count = dtc.count;
        }
    }
    if (node.active.empty()) return false;
    node.active.clear();
    ActiveChanged(index);
    return true;
}

std::int64_t Vehicle::Poll(std::int64_t nowUs) {
    while (!schedule_.empty() && schedule_.top().us <= nowUs) {
        const Due due = schedule_.top();
        schedule_.pop();
        Node& node = *nodes_[due.node];
        if (due.generation != node.generation) continue;
        if (due.slot == kSlotChangeDm1) node.changeDm1Due = false;
        // A node that lost its address stays silent; its schedule ends.
        if (!Active(node)) continue;
        // The next one keeps the cycle; one that fell a whole period behind
        // (the worker was held up) starts again from now, without a burst.
        const auto next = [&](std::int64_t period) {
            return due.us + 2 * period < nowUs ? nowUs + period : due.us + period;
        };
        if (due.slot == kSlotDm1) {
            (void)SendDm1(node);
            Schedule(next(kDm1PeriodUs), due.node, kSlotDm1);
        } else if (due.slot == kSlotChangeDm1) {
            node.lastChangeDm1Us = nowUs;
            (void)SendDm1(node);
        } else {
            const auto index = static_cast<std::size_t>(due.slot);
            if (!node.ramps.empty()) Advance(node, index, nowUs);
            const Message& m = node.messages[index];
            (void)Transmit(node, m);
            Schedule(next(m.cycleUs), due.node, due.slot);
        }
    }
    return schedule_.empty() ? -1 : schedule_.top().us;
}

bool Vehicle::SendDm1(Node& node) {
    return SendMessage(node, kPgnDm1, 6, j1939::kGlobalAddress, DiagnosticPayload(node.active, node.active));
}

bool Vehicle::SendMessage(Node& node, std::uint32_t pgn, std::uint8_t priority, std::uint8_t destination,
                          const std::vector<std::uint8_t>& data) {
    J1939Header header;
    header.priority = priority;
    header.pgn = pgn;
    header.source = node.address;
    header.destination = destination;
    return link_.Send(node.owner, node.bus, header, data.data(), data.size());
}

bool Vehicle::Payload(const Node& node, std::uint32_t pgn, std::uint8_t* priority,
                      std::vector<std::uint8_t>* data) const {
    *priority = 6;
    if (pgn == kPgnDm1) {
        *data = DiagnosticPayload(node.active, node.active);
        return true;
    }
    if (pgn == kPgnDm2) {
        *data = DiagnosticPayload(node.active, node.previous);
        return true;
    }
    for (const auto& [owned, payload] : node.idents) {
        if (owned == pgn) {
            *data = payload;
            return true;
        }
    }
    for (const Message& m : node.messages) {
        if (m.j1939 && m.header.pgn == pgn) {
            *priority = m.header.priority;
            *data = m.data;
            return true;
        }
    }
    return false;
}

void Vehicle::OnMessage(std::uint8_t bus, const J1939Header& header, const std::uint8_t* data, std::size_t length,
                        const Origin& origin) {
    // Only requests concern the nodes; everything else passes at once.
    if (header.pgn != kPgnRequest || length < 3 || nodes_.empty()) return;
    const std::uint32_t pgn = NormalisePgn(static_cast<std::uint32_t>(data[0] | (data[1] << 8) | (data[2] << 16)));
    const bool global = header.destination == j1939::kGlobalAddress;
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        Node& node = *nodes_[i];
        if (node.bus != bus || (!global && header.destination != node.address)) continue;
        if (origin.kind == Origin::Kind::kJ1939 && origin.address == node.owner) continue;  // its own
        if (!Active(node)) continue;
        // Address claims are the network's to answer.
        if (pgn == kPgnAddressClaimed) continue;
        Answer(node, i, pgn, header.source, global);
    }
}

void Vehicle::Answer(Node& node, std::size_t index, std::uint32_t pgn, std::uint8_t requester, bool global) {
    // An answer goes to a requester that asked this node alone and has an
    // address; to everyone otherwise.
    const bool toAll = global || requester == j1939::kNullAddress || requester == j1939::kGlobalAddress;
    if (pgn == kPgnDm11) {
        if (Deactivate(index))
            link_.Report("node " + node.name + ": active DTCs cleared by DM11 from " + Hex(requester, 2));
        if (!global) Acknowledge(node, 0, requester, pgn);
        return;
    }
    if (!node.ramps.empty()) {
        for (std::size_t i = 0; i < node.messages.size(); ++i) {
            if (node.messages[i].j1939 && node.messages[i].header.pgn == pgn) Advance(node, i, link_.NowUs());
        }
    }
    std::uint8_t priority = 6;
    std::vector<std::uint8_t> data;
    if (Payload(node, pgn, &priority, &data)) {
        (void)SendMessage(node, pgn, priority, toAll ? j1939::kGlobalAddress : requester, data);
    } else if (!global) {
        Acknowledge(node, 1, requester, pgn);  // a global request is never refused
    }
}

void Vehicle::Acknowledge(Node& node, std::uint8_t control, std::uint8_t requester, std::uint32_t pgn) {
    // To everyone, with the requester in byte 4.
    const std::vector<std::uint8_t> data{control,
                                         0xFF,
                                         0xFF,
                                         0xFF,
                                         requester,
                                         static_cast<std::uint8_t>(pgn),
                                         static_cast<std::uint8_t>(pgn >> 8),
                                         static_cast<std::uint8_t>(pgn >> 16)};
    (void)SendMessage(node, kPgnAcknowledgement, 6, j1939::kGlobalAddress, data);
}

bool Vehicle::LoadMessages(Node& node, std::string* text) const {
    // The bus's own databases first, then those for every bus; a message
    // name found once is not taken again.
    bool found = false;
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& [bus, db] : databases_) {
            if (pass == 0 ? bus != node.bus : bus >= 0) continue;
            if (db->FindNode(node.dbcNode) == nullptr) continue;
            found = true;
            for (const signaldb::Message& dbc : db->messages()) {
                if (dbc.transmitter != node.dbcNode) continue;
                if (std::any_of(node.messages.begin(), node.messages.end(),
                                [&](const Message& m) { return m.dbc->name == dbc.name; }))
                    continue;
                if (dbc.length > tp::kMaxMessage || (!dbc.extended && dbc.length > 8)) {
                    link_.Report("node " + node.name + ": message " + dbc.name + " of " +
                                 std::to_string(dbc.length) + " bytes is left out: too long for its frame");
                    continue;
                }
                Message m;
                m.dbc = &dbc;
                m.j1939 = dbc.extended;
                m.id = dbc.id;
                if (m.j1939) {
                    m.header = DecomposeId(dbc.id);
                    m.header.source = node.address;
                }
                m.data = signaldb::InitialPayload(dbc);
                m.cycleUs = dbc.cycleTimeMs ? static_cast<std::int64_t>(*dbc.cycleTimeMs) * 1000 : 0;
                node.messages.push_back(std::move(m));
            }
        }
    }
    if (!found) {
        *text = "no signal database" + std::string(databases_.empty() ? " is loaded" : " of can" + std::to_string(node.bus) + " has a node " + node.dbcNode);
        return false;
    }
    return true;
}

bool Vehicle::FindSignal(Node& node, const NodeCommand& command, std::size_t* message,
                         const signaldb::Signal** signal, std::string* text) const {
    for (std::size_t i = 0; i < node.messages.size(); ++i) {
        if (node.messages[i].dbc->name != command.message) continue;
        *message = i;
        *signal = node.messages[i].dbc->FindSignal(command.signal);
        if (*signal == nullptr) {
            *text = "message " + command.message + " has no signal " + command.signal;
            return false;
        }
        return true;
    }
    *text = "node " + node.name + " sends no message " + command.message;
    return false;
}

void Vehicle::Advance(Node& node, std::size_t message, std::int64_t nowUs) {
    Message& m = node.messages[message];
    for (auto it = node.ramps.begin(); it != node.ramps.end();) {
        if (it->message != message) {
            ++it;
            continue;
        }
        const std::int64_t elapsed = nowUs - it->startUs;
        const bool done = elapsed >= it->durationUs;
        const double value =
            done ? it->to
                 : it->from + (it->to - it->from) * static_cast<double>(elapsed) / static_cast<double>(it->durationUs);
        (void)signaldb::EncodeSignal(*m.dbc, *it->signal, value, m.data.data(), m.data.size());
        it = done ? node.ramps.erase(it) : std::next(it);
    }
}

bool Vehicle::Transmit(Node& node, const Message& m) {
    if (m.j1939) return link_.Send(node.owner, node.bus, m.header, m.data.data(), m.data.size());
    CanFrame frame;
    frame.bus = node.bus;
    frame.id = m.id;
    frame.length = static_cast<std::uint8_t>(m.data.size());
    std::copy(m.data.begin(), m.data.end(), frame.data);
    link_.SendFrame(node.owner, frame);
    return true;
}

std::string Vehicle::Describe() const {
    if (nodes_.empty()) return "no nodes\n";
    std::string out;
    for (const auto& n : nodes_) {
        const Node& node = *n;
        std::string state = node.paused                                            ? "paused"
                            : link_.Holds(node.owner, node.bus, node.address) ? "on the bus"
                            : node.claimed                                          ? "lost its address"
                                                                                    : "lost the contest for its address";
        out += node.name + " can" + std::to_string(node.bus) + " address " + Hex(node.address, 2) + " NAME " +
               Hex(node.caName, 16) + (node.dbcNode.empty() ? "" : " from " + node.dbcNode) + ": " + state + "\n";
        out += "  sends DM1 every 1000 ms";
        for (const Message& m : node.messages) {
            out += ", " + m.dbc->name + (m.j1939 ? " (PGN " + Hex(m.header.pgn, 4) : " (ID " + Hex(m.id, 3)) + ", " +
                   (m.cycleUs > 0 ? "every " + std::to_string(m.cycleUs / 1000) + " ms" : "on request") + ")";
        }
        out += "\n";
        if (!node.idents.empty()) {
            out += "  identification:";
            for (const auto& ident : node.idents) out += std::string(" ") + IdentName(ident.first);
            out += "\n";
        }
        out += "  active DTCs: " + std::to_string(node.active.size());
        for (const Dtc& dtc : node.active) out += "; " + DtcText(dtc);
        out += "\n  previously active DTCs: " + std::to_string(node.previous.size());
        for (const Dtc& dtc : node.previous) out += "; " + DtcText(dtc);
        out += "\n";
    }
    return out;
}

}  // namespace gatewaysim
