// Thread rule: not synchronised; the simulator's worker thread is its only
// user (commands reach it as tasks on the worker).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "SignalDatabase.h"
#include "bus/Frames.h"
#include "j1939/J1939Codec.h"
#include "j1939/J1939Service.h"
#include "vehicle/Diagnostics.h"
#include "vehicle/NodeCommand.h"

namespace gatewaysim {

// The rest of the vehicle: simulated ECUs (nodes) on the J1939 buses. Each
// claims its address with its NAME through the J1939 network (and keeps or
// loses it like any CA there), sends DM1 every second with its lamps and
// active DTCs, and answers requests (PGN 59904) for the PGNs it owns: to a
// request addressed to it, to the requester (RTS/CTS when long); to a
// global one, or one from the null address, globally (BAM when long). A
// request addressed to it for a PGN it does not own gets a NACK; a global
// one gets nothing. A request for DM11 (PGN 65235) moves its active DTCs to
// the previously active ones (DM2) and, when addressed to it, is
// acknowledged.
//
// A node made `from` a node of a signal database sends that node's
// messages: every GenMsgCycleTime (on request only without one), with the
// signals at their start values until `set` or `ramp` changes them. An
// extended message goes as a J1939 message from the node's address (its
// identifier's priority, PGN and, for PDU1, destination; by transport when
// longer than 8 bytes); a standard one as its frame.
class Vehicle final : public J1939Service::NodeListener {
public:
    // What the nodes need of the simulator around them.
    class Link {
    public:
        virtual ~Link() = default;
        virtual std::int64_t NowUs() = 0;  // monotonic
        virtual void Report(const std::string& line) = 0;
        // The J1939 network, for the CA of the node `owner`.
        virtual bool Claim(std::int32_t owner, std::uint8_t bus, std::uint8_t address, std::uint64_t name) = 0;
        virtual void Release(std::int32_t owner, std::uint8_t bus, std::uint8_t address) = 0;
        virtual bool Holds(std::int32_t owner, std::uint8_t bus, std::uint8_t address) const = 0;
        virtual bool Send(std::int32_t owner, std::uint8_t bus, const J1939Header& header,
                          const std::uint8_t* data, std::size_t length) = 0;
        // A frame of the node that is not a J1939 message (a standard one).
        virtual void SendFrame(std::int32_t owner, const CanFrame& frame) = 0;
    };
    // The signal databases: for one bus (0 to 4), or for every bus (-1).
    using Databases = std::vector<std::pair<int, std::shared_ptr<const signaldb::Database>>>;

    static constexpr std::size_t kMaxNodes = 253;
    static constexpr std::int64_t kDm1PeriodUs = 1'000'000;
    static constexpr std::uint32_t kPgnRequest = 0xEA00;
    static constexpr std::uint32_t kPgnAcknowledgement = 0xE800;
    static constexpr std::uint32_t kPgnAddressClaimed = 0xEE00;
    static constexpr std::uint32_t kPgnDm1 = 65226;
    static constexpr std::uint32_t kPgnDm2 = 65227;
    static constexpr std::uint32_t kPgnDm11 = 65235;

    explicit Vehicle(Link& link, Databases databases = {}) : link_(link), databases_(std::move(databases)) {}

    // Runs one command; its output (or the reason of a failure) in `*text`.
    bool Execute(const NodeCommand& command, std::string* text);
    // Sends what is due; the monotonic time of the next thing due, or -1.
    std::int64_t Poll(std::int64_t nowUs);
    bool Empty() const { return nodes_.empty(); }

    // J1939Service::NodeListener
    void OnMessage(std::uint8_t bus, const J1939Header& header, const std::uint8_t* data, std::size_t length,
                   const Origin& origin) override;
    std::string NodeText(std::int32_t owner) const override;

private:
    // A message the node sends every `cycleUs` (0: on request only).
    struct Message {
        const signaldb::Message* dbc = nullptr;
        bool j1939 = true;    // false: a standard frame with `id`
        std::uint32_t id = 0;
        J1939Header header;
        std::vector<std::uint8_t> data;
        std::int64_t cycleUs = 0;
    };
    // A signal on its way from one value to another.
    struct Ramp {
        std::size_t message;
        const signaldb::Signal* signal;
        double from;
        double to;
        std::int64_t startUs;
        std::int64_t durationUs;
    };
    struct Node {
        std::string name;
        std::int32_t owner = 0;
        std::uint8_t bus = 0;
        std::uint8_t address = 0;
        std::uint64_t caName = 0;
        std::string dbcNode;
        bool paused = false;
        bool claimed = false;  // its last claim succeeded
        std::uint32_t generation = 0;  // schedules of an earlier start are stale
        std::vector<Message> messages;
        std::vector<Ramp> ramps;
        std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> idents;  // PGN, payload
        std::vector<Dtc> active;
        std::vector<Dtc> previous;
        std::int64_t lastChangeDm1Us = -1;  // -1: none yet
        bool changeDm1Due = false;
    };
    enum Slot : int { kSlotDm1 = -1, kSlotChangeDm1 = -2 };
    struct Due {
        std::int64_t us;
        std::size_t node;
        int slot;  // a message's index, or a Slot
        std::uint32_t generation;
        bool operator>(const Due& other) const { return us > other.us; }
    };

    Node* Find(const std::string& name);
    bool AddNode(const NodeCommand& command, std::string* text);
    // Claims the node's address and schedules what it sends.
    void Start(std::size_t index);
    bool Active(const Node& node) const;
    void Schedule(std::int64_t us, std::size_t node, int slot);
    // DM1 now, or at most once a second for changes of the active DTCs.
    void ActiveChanged(std::size_t index);
    // The active DTCs become previously active; false when there were none.
    bool Deactivate(std::size_t index);
    bool SendDm1(Node& node);
    bool SendMessage(Node& node, std::uint32_t pgn, std::uint8_t priority, std::uint8_t destination,
                     const std::vector<std::uint8_t>& data);
    // The node's current payload of `pgn`, when it owns it.
    bool Payload(const Node& node, std::uint32_t pgn, std::uint8_t* priority, std::vector<std::uint8_t>* data) const;
    void Answer(Node& node, std::size_t index, std::uint32_t pgn, std::uint8_t requester, bool global);
    void Acknowledge(Node& node, std::uint8_t control, std::uint8_t requester, std::uint32_t pgn);
    std::string Describe() const;
    // The node's messages from the databases of its bus; false with the
    // reason when no database has the node.
    bool LoadMessages(Node& node, std::string* text) const;
    // Brings a message's ramping signals to their values at `nowUs`.
    void Advance(Node& node, std::size_t message, std::int64_t nowUs);
    bool Transmit(Node& node, const Message& message);
    // The node's message and signal a set or ramp names.
    bool FindSignal(Node& node, const NodeCommand& command, std::size_t* message, const signaldb::Signal** signal,
                    std::string* text) const;

    Link& link_;
    const Databases databases_;
    std::vector<std::unique_ptr<Node>> nodes_;  // by index; the owner is kFirstNode - index
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> schedule_;
};

}  // namespace gatewaysim
