// Thread rule: a Database is built by one thread (ParseDbc, LoadDbcFile) and
// then only read: any number of threads may look up, decode and encode at
// once. Functions here keep no state of their own.
//
// The signal database: what a DBC file says about a network's nodes, messages
// and signals, and the codec that turns a frame's bytes into physical values
// and back.
//
// What is read: BU_ (nodes), BO_ (messages with their transmitter), SG_
// (signals: start bit, length, Intel or Motorola byte order, signedness,
// factor, offset, minimum, maximum, unit, receivers, and simple multiplexing
// "M" / "mN"), VAL_TABLE_ and VAL_ (named values), SIG_VALTYPE_ (IEEE float
// and double signals), CM_ (comments), and the attributes GenMsgCycleTime,
// GenSigStartValue and VFrameFormat (J1939PG). Every other section and
// attribute is skipped. A line that starts a section read here but does not
// follow its syntax is an error naming the file, line and column and what was
// expected.
//
// Raw and physical values: physical = raw * factor + offset, where raw is the
// signal's bits read as an unsigned or two's-complement integer, or as an IEEE
// float/double for SIG_VALTYPE_ signals. Decoding never clamps: it reports
// what the bytes say. Encoding (ToRaw) clamps the physical value to
// [minimum, maximum] when the file gives a range (minimum < maximum), then
// rounds to the nearest raw value (halves away from zero) and clamps it to
// what the signal's bits can hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace signaldb {

enum class ByteOrder { kIntel, kMotorola };        // DBC "@1" and "@0"
enum class ValueType { kInteger, kFloat, kDouble };  // SIG_VALTYPE_ 0, 1, 2

// A raw value and its name (VAL_, or a VAL_TABLE_ that SG_ refers to).
struct NamedValue {
    std::int64_t raw = 0;
    std::string name;
};

struct Signal {
    enum class Mux { kNone, kMultiplexor, kMultiplexed };

    std::string name;
    // The start bit as the file writes it: for Intel the least significant
    // bit, for Motorola the most significant bit, both numbered with bit 0 the
    // least significant bit of byte 0 and bit 8 that of byte 1.
    std::uint32_t startBit = 0;
    std::uint32_t length = 0;  // 1 to 64 bits
    ByteOrder byteOrder = ByteOrder::kIntel;
    bool isSigned = false;
    ValueType valueType = ValueType::kInteger;
    double factor = 1.0;
    double offset = 0.0;
    double minimum = 0.0;
    double maximum = 0.0;
    std::string unit;
    std::vector<std::string> receivers;
    std::string comment;
    std::vector<NamedValue> valueNames;  // ordered by raw value
    Mux mux = Mux::kNone;
    std::uint64_t muxValue = 0;  // for kMultiplexed: the multiplexor's raw value that selects it
    // GenSigStartValue: a raw value, as the attribute is written.
    std::optional<double> startRaw;

    // The bytes the signal occupies: the first, and one past the last.
    std::size_t FirstByte() const { return firstByte_; }
    std::size_t EndByte() const { return endByte_; }

    // Raw bits -> physical value (no clamping).
    double ToPhysical(std::uint64_t raw) const;
    // Physical value -> raw bits, clamped and rounded as stated above, in the
    // signal's width (two's complement for signed signals).
    std::uint64_t ToRaw(double physical) const;
    // The raw bits as a number before factor and offset (sign-extended, or
    // the float's value).
    double RawNumber(std::uint64_t raw) const;
    // The name of a raw value, or nullptr.
    const std::string* ValueName(std::uint64_t raw) const;
    // A named value's physical value, if the signal has that name.
    std::optional<double> PhysicalOfName(std::string_view name) const;
    // Parses a physical value written as a decimal number or as one of the
    // signal's value names.
    std::optional<double> ParseValue(std::string_view text) const;
    // The start value's raw bits (0 when the file gives none) and its
    // physical value.
    std::uint64_t StartRawBits() const { return startRaw ? ToRawBits(*startRaw) : 0; }
    double StartPhysical() const { return ToPhysical(StartRawBits()); }

    // Digits after the decimal point that the factor and offset give a
    // physical value (0.125 -> 3); -1 for float and double signals.
    int Decimals() const { return decimals_; }

    // Reads the signal's raw bits from a payload of `size` bytes. False when
    // the payload is too short to carry it.
    bool Extract(const std::uint8_t* payload, std::size_t size, std::uint64_t* raw) const;
    // Writes raw bits into a payload, leaving the other bits as they are.
    // False (nothing written) when the payload is too short.
    bool Insert(std::uint64_t raw, std::uint8_t* payload, std::size_t size) const;

    // Computes what the accessors above derive from the fields (the bytes,
    // the resolution). The parser calls it; a signal built by hand calls it
    // after setting its fields.
    void Prepare();

  private:
    std::uint64_t ToRawBits(double rawNumber) const;
    std::size_t firstByte_ = 0;
    std::size_t endByte_ = 0;
    int decimals_ = 0;
};

struct Message {
    // The longest message any bus carries: J1939 transport's 1,785 bytes.
    static constexpr std::uint32_t kMaxLength = 1785;

    std::string name;
    std::uint32_t id = 0;  // 11 or 29 bits, without the file's extended-frame flag
    bool extended = false;
    std::uint32_t length = 0;  // bytes, as BO_ gives it (over 8 for J1939 multi-packet messages), to kMaxLength
    std::string transmitter;   // "" for Vector__XXX / none
    std::string comment;
    std::optional<std::uint32_t> cycleTimeMs;  // GenMsgCycleTime
    bool j1939 = false;  // VFrameFormat J1939PG: matched by PGN
    std::vector<Signal> signals;
    int multiplexor = -1;  // index of the multiplexor signal in `signals`, or -1

    // The PGN of the message's identifier (J1939 rules: the destination
    // address cleared for PDU1 formats).
    std::uint32_t Pgn() const;
    const Signal* FindSignal(std::string_view name) const;
};

struct Node {
    std::string name;
    std::string comment;
};

// Where a file failed to parse: 1-based line and column.
struct ParseError {
    std::string file;
    int line = 0;
    int column = 0;
    std::string message;  // what was expected
    // "FILE:LINE:COLUMN: MESSAGE"
    std::string ToString() const;
};

// The PGN that a 29-bit identifier carries: EDP, DP, PF and, for PF >= 240,
// PS; for PF < 240 the PS byte (a destination address) is not part of it.
std::uint32_t PgnOfIdentifier(std::uint32_t id);

class Database {
  public:
    const std::vector<Node>& nodes() const { return nodes_; }
    const std::vector<Message>& messages() const { return messages_; }
    const std::string& fileName() const { return fileName_; }

    const Message* FindMessage(std::string_view name) const;
    // The message a frame carries: the one with exactly this identifier, or
    // else, for an extended frame, the J1939PG message with its PGN (whatever
    // the source address, the priority and, for PDU1, the destination).
    const Message* FindMessage(std::uint32_t id, bool extended) const;
    // A J1939PG message by PGN (e.g. of a message reassembled from TP).
    const Message* FindPgn(std::uint32_t pgn) const;
    const Node* FindNode(std::string_view name) const;

  private:
    friend class DbcParser;
    void Index();

    std::string fileName_;
    std::vector<Node> nodes_;
    std::vector<Message> messages_;
    std::unordered_map<std::uint64_t, std::size_t> byId_;   // (extended << 32 | id) -> index
    std::unordered_map<std::uint32_t, std::size_t> byPgn_;  // PGN -> index (J1939PG only)
};

// Parses DBC text. `fileName` is only for error messages.
bool ParseDbc(std::string_view text, std::string_view fileName, Database* db, ParseError* error);
// Reads and parses a DBC file.
bool LoadDbcFile(const std::string& path, Database* db, ParseError* error);

// One decoded signal. `valueName` points into the database (nullptr when the
// value has no name).
struct DecodedSignal {
    const Signal* signal = nullptr;
    std::uint64_t raw = 0;
    double physical = 0.0;
    const std::string* valueName = nullptr;
};

// Whether a payload carries the signal: long enough, and for a multiplexed
// signal, the multiplexor selects it.
bool Carries(const Message& message, const Signal& signal, const std::uint8_t* payload, std::size_t size);

// Decodes every signal the payload carries, in the message's order, into
// `out` (cleared first; once its capacity suffices nothing is allocated).
// A payload may be longer than 8 bytes (a message reassembled from a
// transport protocol); signals beyond its end are left out.
void Decode(const Message& message, const std::uint8_t* payload, std::size_t size,
            std::vector<DecodedSignal>* out);
// Decodes one signal; nothing when the payload does not carry it.
std::optional<double> DecodeSignal(const Message& message, const Signal& signal, const std::uint8_t* payload,
                                   std::size_t size);

// A payload of the message's length with every signal at its start value.
std::vector<std::uint8_t> InitialPayload(const Message& message);
// Writes a physical value into the payload (ToRaw's clamping and rounding);
// for a multiplexed signal the multiplexor is set to select it. False when
// the payload is too short.
bool EncodeSignal(const Message& message, const Signal& signal, double physical, std::uint8_t* payload,
                  std::size_t size);

// A number as a plain decimal, never with an exponent: with `decimals` >= 0
// rounded to that many digits after the point and trailing zeros dropped,
// else as few digits as read back to the same double. "812.5", "-3",
// "0.000125"; "nan", "inf", "-inf".
std::string FormatDecimal(double value, int decimals = -1);
// A signal's physical value as a plain decimal at the signal's resolution
// (3342 * 0.1 is "334.2", not the double's "334.20000000000005").
inline std::string FormatPhysical(const Signal& signal, double physical) {
    return FormatDecimal(physical, signal.Decimals());
}

// Databases for the buses: a file for every bus or for one.
class BusDatabases {
  public:
    static constexpr int kAllBuses = -1;
    // Parses "[canN:]FILE" (N 0 to 4). False with a reason for a bad bus.
    static bool ParseBusFile(std::string_view busFile, int* bus, std::string* path, std::string* error);

    void Add(int bus, std::shared_ptr<const Database> db);
    bool empty() const { return entries_.empty(); }
    // The message a frame on `bus` carries: the bus's own files first, then
    // the files for every bus, each in the order added.
    const Message* Find(int bus, std::uint32_t id, bool extended) const;
    // A message by name: in the bus's files and those for every bus (any
    // file with kAllBuses).
    const Message* FindByName(std::string_view name, int bus = kAllBuses) const;

  private:
    std::vector<std::pair<int, std::shared_ptr<const Database>>> entries_;
};

}  // namespace signaldb
