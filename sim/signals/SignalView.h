// Thread rule: not synchronised; each object has one user thread. The free
// functions are pure.
//
// Frames seen as signals: a decoder that finds each frame's message in the
// signal databases (following J1939 transport sessions, so that messages
// longer than 8 bytes are decoded whole), and the text forms of what it
// finds: decoded lines in the layout of the common DBC decoders, CSV rows
// of chosen signals, and changes of watched signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "SignalDatabase.h"
#include "bus/Frames.h"
#include "j1939/J1939Transport.h"

namespace gatewaysim {

// One message found on a bus: a single frame, or a J1939 message that a
// transport session completed.
struct DecodedMessage {
    std::int64_t timeUs = 0;
    std::uint8_t bus = 0;
    std::uint32_t id = 0;  // for a reassembled message: priority, PGN (with its destination) and source
    bool extended = false;
    bool reassembled = false;
    const std::uint8_t* payload = nullptr;
    std::size_t size = 0;
    const signaldb::Message* message = nullptr;
    const std::vector<signaldb::DecodedSignal>* signals = nullptr;  // those the payload carries
};

// Finds and decodes the messages of frames. The databases must outlive it.
class FrameDecoder {
  public:
    explicit FrameDecoder(const signaldb::BusDatabases& databases);
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // Decodes a frame seen at `timeUs`: `sink` gets the frame's message, if
    // the databases know it, and then any J1939 message that the frame
    // completed by the transport protocol (which the databases know).
    void OnFrame(std::int64_t timeUs, const CanFrame& frame, const std::function<void(const DecodedMessage&)>& sink);

  private:
    class Link;
    const signaldb::BusDatabases& databases_;
    std::unique_ptr<Link> link_;
    std::unique_ptr<J1939Transport> transport_;
    std::vector<signaldb::DecodedSignal> signals_;
};

// The candump-style line of a message: "(SECONDS) canN ID#DATA" (for a
// reassembled message every byte of it after '#').
std::string FormatMessageLine(const DecodedMessage& decoded);

// The decoded form, after the line and " ::": on one line
// "NAME(SIGNAL: VALUE UNIT, ...)", or on several lines, one signal each,
// indented by four spaces. A value with a name is shown as 'NAME'.
std::string FormatSignals(const DecodedMessage& decoded, bool singleLine);

// CSV of chosen signals: "time,MESSAGE.SIGNAL,..." and one row per message
// that carries at least one of them, each value a plain decimal at the
// signal's resolution (signaldb::FormatPhysical).
class SignalColumns {
  public:
    // Parses "MESSAGE.SIGNAL,..." against the databases. False, with the
    // reason, for a name that no database has.
    bool Parse(std::string_view list, const signaldb::BusDatabases& databases, std::string* error);
    std::string Header() const;
    // The row for a message (time stamp as seconds with six decimals), or
    // false when it carries none of the columns.
    bool Row(const DecodedMessage& decoded, std::string* row);

  private:
    struct Column {
        std::string text;  // as given
        std::string message;
        std::string signal;
    };
    std::vector<Column> columns_;
    // The columns each message fills: (column, signal).
    std::unordered_map<const signaldb::Message*, std::vector<std::pair<std::size_t, const signaldb::Signal*>>> byMessage_;
    std::vector<const std::string*> cells_;
};

// Watched signals: reports each change of their value, per bus and frame
// identifier (so that two senders of one J1939 PGN are told apart).
class SignalWatch {
  public:
    // Adds "MESSAGE.SIGNAL" to the watch. False, with the reason, when no
    // database has it.
    bool Add(std::string_view name, const signaldb::BusDatabases& databases, std::string* error);
    // Removes one; false when it was not watched.
    bool Remove(std::string_view name);
    void Clear();
    bool empty() const { return watched_.empty(); }
    std::vector<std::string> Names() const;
    // The lines of the changes that a message brings:
    // "(SECONDS) canN MESSAGE.SIGNAL = VALUE UNIT" (and " (was VALUE)" after
    // the first).
    void OnMessage(const DecodedMessage& decoded, std::vector<std::string>* lines);

  private:
    std::vector<std::pair<std::string, std::string>> watched_;  // message, signal
    std::map<std::tuple<std::uint8_t, std::uint32_t, bool, const signaldb::Signal*>, double> last_;
};

// Reads "[canN:]FILE" specifications into databases. False, with the
// reason (the file, line, column and what was expected), for the first that
// fails.
bool LoadSignalDatabases(const std::vector<std::string>& busFiles, signaldb::BusDatabases* databases,
                         std::string* error);

// The simulator's decoded views of its buses: watched signals and decoded
// log lines, printed through `print` as frames are carried. The databases
// must outlive it.
class SignalMonitor {
  public:
    SignalMonitor(const signaldb::BusDatabases& databases, std::function<void(const std::string&)> print);

    // Whether any frame needs decoding (a signal watched, or decode on).
    bool Active() const { return decode_ || !watch_.empty(); }
    // A frame carried at `wallTimeUs` (microseconds since the epoch).
    void OnFrame(std::int64_t wallTimeUs, const CanFrame& frame);

    // The commands. Each returns its output lines (each ending in '\n'), or
    // false with the reason in `*text`.
    // watch: the watched signals; watch NAME...: adds them (all or none).
    bool Watch(const std::vector<std::string>& names, std::string* text);
    // unwatch: ends every watch; unwatch NAME...: those.
    bool Unwatch(const std::vector<std::string>& names, std::string* text);
    // decode: toggles; decode on|off.
    bool Decode(const std::string& state, std::string* text);

  private:
    const signaldb::BusDatabases& databases_;
    std::function<void(const std::string&)> print_;
    FrameDecoder decoder_;
    SignalWatch watch_;
    bool decode_ = false;
    std::vector<std::string> lines_;
};

}  // namespace gatewaysim
