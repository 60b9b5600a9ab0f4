// Thread rule: not synchronised; the simulator's worker thread is its only
// user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bus/Frames.h"
#include "j1939/J1939Codec.h"

namespace gatewaysim {

namespace tp {
constexpr std::uint32_t kPgnConnection = 0xEC00;  // TP.CM
constexpr std::uint32_t kPgnData = 0xEB00;        // TP.DT
constexpr std::uint8_t kRts = 16;
constexpr std::uint8_t kCts = 17;
constexpr std::uint8_t kEndOfMessageAck = 19;
constexpr std::uint8_t kBam = 32;
constexpr std::uint8_t kAbort = 255;
// Abort reasons.
constexpr std::uint8_t kAbortBusy = 1;
constexpr std::uint8_t kAbortResources = 2;
constexpr std::uint8_t kAbortTimeout = 3;
constexpr std::uint8_t kAbortUnexpectedData = 6;  // also an acknowledgement before the last packet went out
constexpr std::uint8_t kAbortBadSequence = 7;  // also a CTS for a packet the message does not have
constexpr std::uint8_t kAbortDuplicateSequence = 8;
// Time-outs, milliseconds.
constexpr std::int64_t kT1Ms = 750;   // receiver: gap between data packets
constexpr std::int64_t kT2Ms = 1250;  // receiver: after CTS, waiting for data
constexpr std::int64_t kT3Ms = 1250;  // originator: after RTS or a window, waiting for CTS or ack
constexpr std::int64_t kT4Ms = 1050;  // originator: after a hold (CTS 0), waiting for the next CTS
constexpr std::size_t kMaxMessage = 1785;
constexpr std::int64_t kStandardBamGapMs = 50;
}  // namespace tp

// True for the transport protocol's own frames (TP.CM and TP.DT).
bool IsTransportFrame(const CanFrame& frame);

// The J1939 transport protocol of the CAs that the simulator hosts, and the
// reassembly of every session seen on the buses.
//
// Originator: a message of a hosted CA goes out as one frame (up to 8
// bytes), as a BAM (to 255, its data packets at least `bamGapMs` apart) or
// as an RTS/CTS session (to one address, whatever the PDU format: the data
// packets of each window that a CTS allows go out at once; a CTS of 0
// packets holds the session; a CTS for packets already sent has them sent
// again). A CTS for a packet the message does not have, or an End of
// message ack before the last packet went out, ends the session with an
// abort. At most one BAM per source and one session per source and
// destination run at a time; what cannot start yet waits its turn in a
// queue bounded per source and destination, so that a destination that
// never answers holds up only the messages to it. Messages of one source to
// one destination keep their order; cannot-claim messages (from the null
// address, each of another CA) go each at its own time.
//
// Receiver: every session on a bus, whoever sends it, is reassembled; when
// its last packet arrives the whole message is handed on, with the priority
// of its RTS or BAM and its PGN normalised (a PDU1 PGN with its low byte 0,
// whatever the TP.CM carried there). If a hosted CA holds the destination
// of an RTS it answers: CTS for windows of at most `receiveWindow` packets,
// End of message ack, and aborts (already in a session, lacking resources,
// time-out, a packet beyond the window, bad or duplicate sequence number).
// An RTS while the pair's session is open is answered with abort reason 1
// and the open session goes on, to its end or its own abort; an abort ends
// only the session whose PGN it names. Sessions between other nodes are
// only followed; a retransmission that their receiver asks for is followed
// too.
//
// Frames of the originator (RTS, BAM, data) carry the message's priority, so
// that a long message keeps its rank on the bus; the receiver's replies and
// every abort go at 7, the protocol's default.
//
// Time comes from the link in microseconds; frames that a call produces are
// put on the bus one after the other (never from within the handling of
// another frame), in the order they were made.
class J1939Transport {
public:
    class Link {
    public:
        virtual ~Link() = default;
        // Monotonic time in microseconds.
        virtual std::int64_t NowUs() = 0;
        // Puts a frame of a hosted CA of `owner` (a CaTable owner) on the bus.
        virtual void Emit(const CanFrame& frame, std::int32_t owner) = 0;
        // A message that a session completed on the bus; `origin` put its
        // first frame there.
        virtual void Complete(std::uint8_t bus, const J1939Header& header, const std::vector<std::uint8_t>& data,
                              const Origin& origin) = 0;
        // True, with the CA's owner, when a hosted CA holds the address.
        virtual bool Hosted(std::uint8_t bus, std::uint8_t address, std::int32_t* owner) = 0;
        virtual void Report(const std::string& line) = 0;
    };

    struct Options {
        std::int64_t bamGapMs = tp::kStandardBamGapMs;
        std::uint8_t receiveWindow = 16;        // packets a hosted receiver allows per CTS
        std::size_t maxWaiting = 32;            // queued messages per bus, source and destination
        std::size_t maxSessions = 256;          // open sessions per direction, all buses
    };

    J1939Transport(Link& link, Options options) : link_(link), options_(options) {}

    // Sends a message of the hosted CA of `owner` at `header.source`, not
    // before `notBeforeUs`. False, reported, when it was dropped because
    // the queue of its source and destination is full.
    bool Send(std::int32_t owner, std::uint8_t bus, const J1939Header& header, const std::uint8_t* data,
              std::size_t length, std::int64_t notBeforeUs);
    // A TP.CM or TP.DT frame on a bus, whoever sent it (hosted CAs too).
    void OnFrame(const CanFrame& frame, const Origin& origin);
    // The hosted CA at (bus, address) lost it: its sessions end and its
    // waiting messages are dropped, both reported.
    void DropSource(std::uint8_t bus, std::uint8_t address, const std::string& why);
    // Does what is due; milliseconds (rounded up) until the next thing due,
    // or -1.
    std::int64_t Poll();

    // The open sessions and waiting messages, one line each.
    std::vector<std::string> Describe() const;

private:
    using Key = std::tuple<std::uint8_t, std::uint8_t, std::uint8_t>;  // bus, source, destination (255: BAM)

    struct Message {
        std::int32_t owner = 0;
        std::uint8_t bus = 0;
        J1939Header header;
        std::vector<std::uint8_t> data;
        std::int64_t notBeforeUs = 0;
    };
    struct Outbound {
        Message message;
        enum class State { kBam, kWaitCts, kHold } state = State::kBam;
        std::size_t nextPacket = 1;
        std::size_t sentPackets = 0;  // the highest packet sent so far
        std::int64_t dueUs = 0;       // next BAM packet, or the time-out
    };
    struct Inbound {
        J1939Header header;  // priority and (normalised) PGN of the announcement
        std::uint32_t wirePgn = 0;  // the PGN field as the announcement carried it; the replies echo it
        Origin origin;
        bool answer = false;  // a hosted CA is the destination
        std::int32_t owner = 0;
        std::size_t size = 0;
        std::size_t packets = 0;
        std::uint8_t maxPerCts = 0xFF;
        std::size_t nextPacket = 1;
        std::size_t windowEnd = 0;
        std::vector<std::uint8_t> data;
        std::int64_t dueUs = 0;  // time-out
    };

    static Key KeyOf(std::uint8_t bus, const J1939Header& header);
    static std::size_t Packets(std::size_t size) { return (size + 6) / 7; }
    static std::string Describe(const Key& key, std::uint32_t pgn);

    void Put(std::uint8_t bus, std::uint8_t priority, std::uint32_t pgn, std::uint8_t source,
             std::uint8_t destination, const std::uint8_t* data, std::int32_t owner);
    // A TP.CM frame: the control byte, bytes 1-4 and the PGN in bytes 5-7.
    void PutControl(std::uint8_t bus, std::uint8_t priority, std::uint8_t source, std::uint8_t destination,
                    const std::uint8_t (&head)[5], std::uint32_t pgn, std::int32_t owner);
    void PutAbort(std::uint8_t bus, std::uint8_t source, std::uint8_t destination, std::uint8_t reason,
                  std::uint32_t pgn, std::int32_t owner);
    void PutData(Outbound& session, std::size_t packet);
    // Ends the session of a hosted originator with an abort, reported.
    void AbortOutbound(std::map<Key, Outbound>::iterator it, std::uint8_t reason, const std::string& why);
    void PutCts(const Key& key, Inbound& session, std::int64_t now);

    void OnAnnouncement(const CanFrame& frame, const J1939Header& header, const Origin& origin, std::int64_t now);
    void OnData(const CanFrame& frame, const J1939Header& header, std::int64_t now);
    void OnReceiverReply(const CanFrame& frame, const J1939Header& header, std::int64_t now);
    void OnAbort(const CanFrame& frame, const J1939Header& header, const Origin& origin);

    void Start(Message& message, std::int64_t now);
    bool Startable(const Message& message, std::int64_t now) const;
    void Pump(std::int64_t now);
    void Expire(std::int64_t now);
    void Flush();

    Link& link_;
    const Options options_;
    std::deque<Message> waiting_;
    std::map<Key, Outbound> outbound_;
    std::map<Key, Inbound> inbound_;
    struct Pending {
        CanFrame frame;
        std::int32_t owner;
    };
    std::deque<Pending> outbox_;
    bool flushing_ = false;
};

}  // namespace gatewaysim
