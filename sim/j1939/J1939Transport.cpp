#include "j1939/J1939Transport.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "services/Wire.h"

namespace gatewaysim {

namespace {

// A J1939 address as everywhere in the reports: two hex digits.
std::string AddressText(std::uint8_t address) {
    char text[4];
    std::snprintf(text, sizeof(text), "%02X", address);
    return text;
}

}  // namespace

namespace {

constexpr std::uint8_t kTransportPriority = 7;
constexpr std::int64_t kUsPerMs = 1000;

std::string Hex(std::uint32_t pgn) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04X", pgn);
    return text;
}

std::uint32_t PgnOf(const CanFrame& frame) {
    return frame.data[5] | (frame.data[6] << 8) | (static_cast<std::uint32_t>(frame.data[7]) << 16);
}

}  // namespace

bool IsTransportFrame(const CanFrame& frame) {
    if (!frame.extended || frame.remote) return false;
    const std::uint32_t pf = (frame.id >> 16) & 0xFFu;
    const bool dataPage = ((frame.id >> 24) & 0x3u) != 0;  // EDP and DP
    return !dataPage && (pf == (tp::kPgnConnection >> 8) || pf == (tp::kPgnData >> 8));
}

J1939Transport::Key J1939Transport::KeyOf(std::uint8_t bus, const J1939Header& header) {
    return Key{bus, header.source, header.destination};
}

std::string J1939Transport::Describe(const Key& key, std::uint32_t pgn) {
    char text[96];
    std::snprintf(text, sizeof(text), "can%u %s %02X -> %02X PGN %04X", std::get<0>(key),
                  std::get<2>(key) == j1939::kGlobalAddress ? "BAM" : "RTS/CTS", std::get<1>(key), std::get<2>(key),
                  pgn);
    return text;
}

// ---- frames ------------------------------------------------------------------------------------

void J1939Transport::Put(std::uint8_t bus, std::uint8_t priority, std::uint32_t pgn, std::uint8_t source,
                         std::uint8_t destination, const std::uint8_t* data, std::int32_t owner) {
    J1939Header header;
    header.priority = priority;
    header.pgn = pgn;
    header.source = source;
    header.destination = destination;
    Pending pending;
    pending.owner = owner;
    pending.frame.bus = bus;
    pending.frame.extended = true;
    pending.frame.id = ComposeId(header);
    pending.frame.length = 8;
    std::copy(data, data + 8, pending.frame.data);
    outbox_.push_back(pending);
}

void J1939Transport::PutControl(std::uint8_t bus, std::uint8_t priority, std::uint8_t source,
                                std::uint8_t destination, const std::uint8_t (&head)[5], std::uint32_t pgn,
                                std::int32_t owner) {
    const std::uint8_t data[8] = {head[0],
                                  head[1],
                                  head[2],
                                  head[3],
                                  head[4],
                                  static_cast<std::uint8_t>(pgn),
                                  static_cast<std::uint8_t>(pgn >> 8),
                                  static_cast<std::uint8_t>(pgn >> 16)};
    Put(bus, priority, tp::kPgnConnection, source, destination, data, owner);
}

void J1939Transport::PutAbort(std::uint8_t bus, std::uint8_t source, std::uint8_t destination, std::uint8_t reason,
                              std::uint32_t pgn, std::int32_t owner) {
    PutControl(bus, kTransportPriority, source, destination, {tp::kAbort, reason, 0xFF, 0xFF, 0xFF}, pgn, owner);
}

void J1939Transport::PutData(Outbound& session, std::size_t packet) {
    const Message& m = session.message;
    session.sentPackets = std::max(session.sentPackets, packet);
    std::uint8_t data[8];
    data[0] = static_cast<std::uint8_t>(packet);
    for (std::size_t i = 0; i < 7; ++i) {
        const std::size_t at = (packet - 1) * 7 + i;
        data[1 + i] = at < m.data.size() ? m.data[at] : 0xFF;
    }
    Put(m.bus, m.header.priority, tp::kPgnData, m.header.source, m.header.destination, data, m.owner);
}

void J1939Transport::PutCts(const Key& key, Inbound& session, std::int64_t now) {
    const std::size_t remaining = session.packets - session.nextPacket + 1;
    const std::size_t asked = session.maxPerCts == 0 ? 0xFF : session.maxPerCts;
    const std::size_t window = std::min<std::size_t>({asked, options_.receiveWindow, remaining});
    session.windowEnd = session.nextPacket + window - 1;
    PutControl(std::get<0>(key), kTransportPriority, std::get<2>(key), std::get<1>(key),
               {tp::kCts, static_cast<std::uint8_t>(window), static_cast<std::uint8_t>(session.nextPacket), 0xFF, 0xFF},
               session.wirePgn, session.owner);
    session.dueUs = now + tp::kT2Ms * kUsPerMs;
}

// ---- sending -----------------------------------------------------------------------------------

bool J1939Transport::Send(std::int32_t owner, std::uint8_t bus, const J1939Header& header, const std::uint8_t* data,
                          std::size_t length, std::int64_t notBeforeUs) {
    Message message;
    message.owner = owner;
    message.bus = bus;
    message.header = Normalise(header);
    // A long PDU2 message to one address goes to it alone, by RTS/CTS; in a
    // single frame a PDU2 message has no room for a destination.
    if (length > 8) message.header.destination = header.destination;
    message.data.assign(data, data + std::min(length, tp::kMaxMessage));
    message.notBeforeUs = notBeforeUs;
    const Key key = KeyOf(bus, message.header);
    const std::size_t queued = static_cast<std::size_t>(std::count_if(
        waiting_.begin(), waiting_.end(), [&](const Message& m) { return KeyOf(m.bus, m.header) == key; }));
    if (queued >= options_.maxWaiting) {
        link_.Report("J1939: " + Describe(key, message.header.pgn) + " (" + std::to_string(length) +
                     " bytes) dropped: " + std::to_string(queued) +
                     " messages of that source to that destination wait already");
        return false;
    }
    waiting_.push_back(std::move(message));
    Pump(link_.NowUs());
    Flush();
    return true;
}

bool J1939Transport::Startable(const Message& message, std::int64_t now) const {
    if (message.notBeforeUs > now) return false;
    if (message.data.size() <= 8) return true;
    return outbound_.count(KeyOf(message.bus, message.header)) == 0 && outbound_.size() < options_.maxSessions;
}

void J1939Transport::Pump(std::int64_t now) {
    // Messages of one source to one destination keep their order; those
    // from the null address belong each to another CA.
    std::set<Key> blocked;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        const Key key = KeyOf(it->bus, it->header);
        const bool ordered = it->header.source != j1939::kNullAddress;
        if ((ordered && blocked.count(key) != 0) || !Startable(*it, now)) {
            if (ordered) blocked.insert(key);
            ++it;
            continue;
        }
        Message message = std::move(*it);
        it = waiting_.erase(it);
        Start(message, now);
    }
}

void J1939Transport::Start(Message& m, std::int64_t now) {
    const std::size_t size = m.data.size();
    if (size <= 8) {
        Pending pending;
        pending.owner = m.owner;
        pending.frame.bus = m.bus;
        pending.frame.extended = true;
        pending.frame.id = ComposeId(m.header);
        pending.frame.length = static_cast<std::uint8_t>(size);
        std::copy(m.data.begin(), m.data.end(), pending.frame.data);
        outbox_.push_back(pending);
        return;
    }
    const Key key = KeyOf(m.bus, m.header);
    Outbound session;
    const auto packets = static_cast<std::uint8_t>(Packets(size));
    const std::uint8_t head[5] = {m.header.destination == j1939::kGlobalAddress ? tp::kBam : tp::kRts,
                                  static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8), packets,
                                  0xFF};
    PutControl(m.bus, m.header.priority, m.header.source, m.header.destination, head, m.header.pgn, m.owner);
    if (head[0] == tp::kBam) {
        session.state = Outbound::State::kBam;
        session.dueUs = now + options_.bamGapMs * kUsPerMs;
    } else {
        session.state = Outbound::State::kWaitCts;
        session.dueUs = now + tp::kT3Ms * kUsPerMs;
    }
    session.message = std::move(m);
    outbound_[key] = std::move(session);
}

// ---- frames from the bus -------------------------------------------------------------------------

void J1939Transport::OnFrame(const CanFrame& frame, const Origin& origin) {
    if (!IsTransportFrame(frame)) return;
    const std::int64_t now = link_.NowUs();
    const J1939Header header = DecomposeId(frame.id);
    if (frame.length != 8) {
        link_.Report("J1939: can" + std::to_string(frame.bus) + " transport frame from " +
                     AddressText(header.source) + " of " + std::to_string(frame.length) +
                     " bytes ignored (8 expected)");
        return;
    }
    if (header.pgn == tp::kPgnData) {
        OnData(frame, header, now);
    } else {
        switch (frame.data[0]) {
            case tp::kRts:
            case tp::kBam:
                OnAnnouncement(frame, header, origin, now);
                break;
            case tp::kCts:
            case tp::kEndOfMessageAck:
                OnReceiverReply(frame, header, now);
                break;
            case tp::kAbort:
                OnAbort(frame, header, origin);
                break;
            default:
                break;  // extended transport and unknown controls are not ours
        }
    }
    Pump(now);
    Flush();
}

void J1939Transport::OnAnnouncement(const CanFrame& frame, const J1939Header& header, const Origin& origin,
                                    std::int64_t now) {
    const bool bam = frame.data[0] == tp::kBam;
    const std::uint8_t bus = frame.bus;
    const std::uint8_t source = header.source;
    const std::uint8_t destination = header.destination;
    const std::uint32_t wirePgn = PgnOf(frame);
    const std::uint32_t pgn = NormalisePgn(wirePgn);
    const Key key{bus, source, destination};
    if (bam != (destination == j1939::kGlobalAddress)) {
        link_.Report("J1939: " + Describe(key, pgn) + (bam ? ": BAM to one address" : ": RTS to the global address") +
                     " ignored");
        return;
    }
    std::int32_t owner = 0;
    const bool answer = !bam && link_.Hosted(bus, destination, &owner);
    const std::size_t size = GetU16(frame.data + 1);
    const std::size_t packets = frame.data[3];
    const auto refuse = [&](std::uint8_t reason, const std::string& why) {
        link_.Report("J1939: " + Describe(key, pgn) + (answer ? " refused: " : " ignored: ") + why +
                     (answer ? " (abort reason " + std::to_string(reason) + ")" : std::string()));
        if (answer) PutAbort(bus, destination, source, reason, wirePgn, owner);
    };
    if (size == 0 || size > tp::kMaxMessage || packets != Packets(size)) {
        refuse(tp::kAbortResources, std::to_string(size) + " bytes in " + std::to_string(packets) + " packets");
        return;
    }
    const auto existing = inbound_.find(key);
    if (existing != inbound_.end()) {
        if (!bam) {
            // The pair's receiver refuses the new RTS; the open session goes
            // on to its end or its own abort. (A session between other nodes
            // is followed on the same terms.)
            refuse(tp::kAbortBusy, "the session for PGN " + Hex(existing->second.header.pgn) + " of that pair is open");
            return;
        }
        // A BAM has nobody to refuse it: the originator gave up the one before.
        link_.Report("J1939: " + Describe(key, existing->second.header.pgn) + " incomplete: a new BAM replaced it");
        inbound_.erase(existing);
    } else if (inbound_.size() >= options_.maxSessions) {
        refuse(tp::kAbortResources, std::to_string(inbound_.size()) + " sessions are open");
        return;
    }
    Inbound session;
    session.header.priority = header.priority;
    session.header.pgn = pgn;
    session.header.source = source;
    session.header.destination = destination;
    session.wirePgn = wirePgn;
    session.origin = origin;
    session.answer = answer;
    session.owner = owner;
    session.size = size;
    session.packets = packets;
    session.maxPerCts = frame.data[4];
    session.data.reserve(packets * 7);
    if (answer) {
        PutCts(key, session, now);
    } else {
        session.windowEnd = packets;
        session.dueUs = now + (bam ? tp::kT1Ms : tp::kT2Ms) * kUsPerMs;
    }
    inbound_[key] = std::move(session);
}

void J1939Transport::OnData(const CanFrame& frame, const J1939Header& header, std::int64_t now) {
    const Key key{frame.bus, header.source, header.destination};
    const auto it = inbound_.find(key);
    if (it == inbound_.end()) return;  // not part of a session we know
    Inbound& s = it->second;
    const std::size_t sequence = frame.data[0];
    if (sequence != s.nextPacket || sequence > s.windowEnd) {
        const std::uint8_t reason = sequence < s.nextPacket   ? tp::kAbortDuplicateSequence
                                    : sequence == s.nextPacket ? tp::kAbortUnexpectedData
                                                               : tp::kAbortBadSequence;
        link_.Report("J1939: " + Describe(key, s.header.pgn) + " dropped: packet " + std::to_string(sequence) +
                     " where " + std::to_string(s.nextPacket) + " was due" +
                     (s.answer ? " (abort reason " + std::to_string(reason) + ")" : std::string()));
        if (s.answer) PutAbort(frame.bus, header.destination, header.source, reason, s.wirePgn, s.owner);
        inbound_.erase(it);
        return;
    }
    for (int i = 1; i < 8 && s.data.size() < s.size; ++i) s.data.push_back(frame.data[i]);
    ++s.nextPacket;
    if (s.nextPacket > s.packets) {
        if (s.answer) {
            PutControl(frame.bus, kTransportPriority, header.destination, header.source,
                       {tp::kEndOfMessageAck, static_cast<std::uint8_t>(s.size), static_cast<std::uint8_t>(s.size >> 8),
                        static_cast<std::uint8_t>(s.packets), 0xFF},
                       s.wirePgn, s.owner);
        }
        const Inbound done = std::move(s);
        inbound_.erase(it);
        link_.Complete(frame.bus, done.header, done.data, done.origin);
        return;
    }
    if (s.answer && s.nextPacket > s.windowEnd) {
        PutCts(key, s, now);
    } else {
        s.dueUs = now + tp::kT1Ms * kUsPerMs;
    }
}

void J1939Transport::OnReceiverReply(const CanFrame& frame, const J1939Header& header, std::int64_t now) {
    // From the receiver (source) to the originator (destination).
    const Key key{frame.bus, header.destination, header.source};
    const bool cts = frame.data[0] == tp::kCts;
    const std::size_t count = frame.data[1];
    const std::size_t next = frame.data[2];
    const auto followed = inbound_.find(key);
    if (followed != inbound_.end() && !followed->second.answer) {
        Inbound& f = followed->second;
        f.dueUs = now + (cts ? tp::kT2Ms : tp::kT3Ms) * kUsPerMs;
        // The receiver asks for packets again: follow the retransmission.
        if (cts && count > 0 && next >= 1 && next < f.nextPacket) {
            f.nextPacket = next;
            f.data.resize(std::min(f.data.size(), (next - 1) * 7));
        }
    }
    const auto it = outbound_.find(key);
    if (it == outbound_.end() || it->second.state == Outbound::State::kBam) return;
    Outbound& s = it->second;
    const std::size_t packets = Packets(s.message.data.size());
    if (!cts) {
        if (s.sentPackets < packets) {
            AbortOutbound(it, tp::kAbortUnexpectedData,
                          "acknowledged after " + std::to_string(s.sentPackets) + " of " + std::to_string(packets) +
                              " packets");
        } else {
            outbound_.erase(it);  // delivered
        }
        return;
    }
    if (count == 0) {
        s.state = Outbound::State::kHold;
        s.dueUs = now + tp::kT4Ms * kUsPerMs;
        return;
    }
    if (next < 1 || next > packets) {
        AbortOutbound(it, tp::kAbortBadSequence,
                      "CTS for packet " + std::to_string(next) + " of " + std::to_string(packets));
        return;
    }
    // Packets sent before are sent again when the receiver asks for them.
    const std::size_t last = std::min(packets, next + count - 1);
    for (std::size_t p = next; p <= last; ++p) PutData(s, p);
    s.nextPacket = last + 1;
    s.state = Outbound::State::kWaitCts;
    s.dueUs = now + tp::kT3Ms * kUsPerMs;
}

void J1939Transport::AbortOutbound(std::map<Key, Outbound>::iterator it, std::uint8_t reason,
                                   const std::string& why) {
    const Message& m = it->second.message;
    link_.Report("J1939: " + Describe(it->first, m.header.pgn) + " aborted: " + why + " (abort reason " +
                 std::to_string(reason) + ")");
    PutAbort(m.bus, m.header.source, m.header.destination, reason, m.header.pgn, m.owner);
    outbound_.erase(it);
}

void J1939Transport::OnAbort(const CanFrame& frame, const J1939Header& header, const Origin& origin) {
    const std::uint8_t bus = frame.bus;
    const std::uint8_t from = header.source;
    const std::uint8_t to = header.destination;
    const std::uint32_t pgn = NormalisePgn(PgnOf(frame));
    // Our own aborts were reported where they were made.
    const bool hosted = origin.kind == Origin::Kind::kJ1939;
    const std::string why = " aborted by " + AddressText(from) + " (reason " + std::to_string(frame.data[1]) + ")";
    // An abort ends the session of the pair whose PGN it names.
    for (const Key& key : {Key{bus, from, to}, Key{bus, to, from}}) {
        const auto it = inbound_.find(key);
        if (it == inbound_.end() || it->second.header.pgn != pgn) continue;
        // A hosted receiver ended its session where it made the abort; this
        // one refuses another RTS of the pair.
        if (hosted && it->second.answer && std::get<2>(key) == from) continue;
        if (!hosted) link_.Report("J1939: " + Describe(key, pgn) + why);
        inbound_.erase(it);
    }
    const auto it = outbound_.find(Key{bus, to, from});
    if (it != outbound_.end() && it->second.state != Outbound::State::kBam && it->second.message.header.pgn == pgn) {
        if (!hosted) link_.Report("J1939: " + Describe(it->first, pgn) + why);
        outbound_.erase(it);
    }
}

// ---- time --------------------------------------------------------------------------------------

void J1939Transport::Expire(std::int64_t now) {
    for (auto it = outbound_.begin(); it != outbound_.end();) {
        Outbound& s = it->second;
        const Message& m = s.message;
        if (s.dueUs > now) {
            ++it;
            continue;
        }
        if (s.state == Outbound::State::kBam) {
            // The next packet is due a full gap after this one went out, so
            // that no two are closer than the gap.
            const std::size_t packets = Packets(m.data.size());
            do {
                PutData(s, s.nextPacket++);
            } while (options_.bamGapMs <= 0 && s.nextPacket <= packets);
            s.dueUs = now + options_.bamGapMs * kUsPerMs;
            it = s.nextPacket > packets ? outbound_.erase(it) : std::next(it);
            continue;
        }
        const auto expired = it++;
        AbortOutbound(expired, tp::kAbortTimeout,
                      s.state == Outbound::State::kHold ? "no CTS within 1050 ms of a hold"
                                                        : "no CTS or acknowledgement within 1250 ms");
    }
    for (auto it = inbound_.begin(); it != inbound_.end();) {
        const Inbound& s = it->second;
        if (s.dueUs > now) {
            ++it;
            continue;
        }
        link_.Report("J1939: " + Describe(it->first, s.header.pgn) + " timed out after packet " +
                     std::to_string(s.nextPacket - 1) + " of " + std::to_string(s.packets) +
                     (s.answer ? " (abort reason 3)" : ""));
        if (s.answer) PutAbort(std::get<0>(it->first), std::get<2>(it->first), std::get<1>(it->first),
                               tp::kAbortTimeout, s.wirePgn, s.owner);
        it = inbound_.erase(it);
    }
}

std::int64_t J1939Transport::Poll() {
    const std::int64_t now = link_.NowUs();
    Expire(now);
    Pump(now);
    Flush();
    std::int64_t next = -1;
    const auto consider = [&](std::int64_t due) {
        const std::int64_t wait = std::max<std::int64_t>(0, due - now);
        if (next < 0 || wait < next) next = wait;
    };
    for (const auto& entry : outbound_) consider(entry.second.dueUs);
    for (const auto& entry : inbound_) consider(entry.second.dueUs);
    // What still waits and is due waits for a session, whose end pumps.
    for (const Message& m : waiting_) {
        if (m.notBeforeUs > now) consider(m.notBeforeUs);
    }
    return next < 0 ? -1 : (next + kUsPerMs - 1) / kUsPerMs;
}

void J1939Transport::DropSource(std::uint8_t bus, std::uint8_t address, const std::string& why) {
    for (auto it = outbound_.begin(); it != outbound_.end();) {
        if (std::get<0>(it->first) == bus && std::get<1>(it->first) == address) {
            link_.Report("J1939: " + Describe(it->first, it->second.message.header.pgn) + " ended: " + why);
            it = outbound_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = inbound_.begin(); it != inbound_.end();) {
        if (it->second.answer && std::get<0>(it->first) == bus && std::get<2>(it->first) == address) {
            link_.Report("J1939: " + Describe(it->first, it->second.header.pgn) + " ended: " + why);
            it = inbound_.erase(it);
        } else {
            ++it;
        }
    }
    const std::size_t before = waiting_.size();
    waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(),
                                  [&](const Message& m) { return m.bus == bus && m.header.source == address; }),
                   waiting_.end());
    if (waiting_.size() != before) {
        link_.Report("J1939: can" + std::to_string(bus) + " " + std::to_string(before - waiting_.size()) +
                     " waiting messages from " + AddressText(address) + " dropped: " + why);
    }
}

void J1939Transport::Flush() {
    // A frame put on the bus comes back here (the sessions of hosted CAs
    // are followed like any other); what that produces joins the queue.
    if (flushing_) return;
    flushing_ = true;
    while (!outbox_.empty()) {
        const Pending pending = outbox_.front();
        outbox_.pop_front();
        link_.Emit(pending.frame, pending.owner);
    }
    flushing_ = false;
}

std::vector<std::string> J1939Transport::Describe() const {
    std::vector<std::string> lines;
    for (const auto& [key, s] : outbound_) {
        const std::size_t packets = Packets(s.message.data.size());
        const char* state = s.state == Outbound::State::kBam      ? "sending"
                            : s.state == Outbound::State::kHold   ? "held by the receiver"
                                                                  : "waiting for CTS or acknowledgement";
        lines.push_back("sending " + Describe(key, s.message.header.pgn) + ", " +
                        std::to_string(s.message.data.size()) + " bytes, " + std::to_string(s.nextPacket - 1) +
                        " of " + std::to_string(packets) + " packets sent, " + state);
    }
    for (const auto& [key, s] : inbound_) {
        lines.push_back("receiving " + Describe(key, s.header.pgn) + ", " + std::to_string(s.size) + " bytes, " +
                        std::to_string(s.nextPacket - 1) + " of " + std::to_string(s.packets) + " packets" +
                        (s.answer ? ", answered by the hosted CA" : ""));
    }
    for (const Message& m : waiting_) {
        lines.push_back("waiting " + Describe(KeyOf(m.bus, m.header), m.header.pgn) + ", " +
                        std::to_string(m.data.size()) + " bytes");
    }
    return lines;
}

}  // namespace gatewaysim
