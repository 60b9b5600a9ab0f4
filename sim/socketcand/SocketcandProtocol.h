// Thread rule: SocketcandReader belongs to one thread; the functions are
// pure and safe from any thread.
//
// The text protocol of socketcand in raw mode, as CAN tools speak it over
// TCP: every element is "< ... >", the server greets with "< hi >", a client
// opens one bus ("< open can1 >"), asks for raw mode ("< rawmode >"), then
// sends frames ("< send 123 2 11 22 >") and receives every frame of the bus
// ("< frame 123 1700000000.000100 1122 >").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bus/Frames.h"

namespace gatewaysim {

// Cuts a client's byte stream into elements.
class SocketcandReader {
public:
    // Longer than any element a client sends: such input is no client of ours.
    static constexpr std::size_t kMaxElementBytes = 256;

    enum class Next {
        kNone,      // nothing complete yet
        kElement,   // `*element` is the text between '<' and '>'
        kJunk,      // text outside an element was skipped (`*element` holds it, cut short)
        kTooLong,   // an element without '>' within kMaxElementBytes; the rest is unreadable
    };

    void Append(const char* data, std::size_t length) { buffer_.append(data, length); }
    Next Take(std::string* element);

private:
    std::string buffer_;
};

// What a client asks for.
struct SocketcandRequest {
    enum class Kind { kOpen, kRawMode, kSend, kEcho, kOtherMode };
    Kind kind = Kind::kEcho;
    std::uint8_t bus = 0;  // kOpen
    CanFrame frame;        // kSend (bus not set)
    std::string word;      // the command word
};

// Parses one element (the text between '<' and '>'). False, with a reason in
// `*error`, for anything that is not a well-formed request: an unknown
// command, a bus other than can0 to can4, an identifier of more than 8 hex
// digits or above 1FFFFFFF, a length above 8 or other than the bytes given,
// a byte that is not 1 or 2 hex digits.
bool ParseSocketcandElement(std::string_view element, SocketcandRequest* request, std::string* error);

// " < frame ID SECONDS.MICROS DATA >": the identifier in 3 (standard) or 8
// (extended) hex digits, the wall-clock time, the data as hex bytes without
// separators. Once frames flow, every element starts with one blank, and the
// data field is always there (empty for 0 bytes): readers that split on
// blanks, and skip one character after the elements they took, need both.
std::string FormatSocketcandFrame(const CanFrame& frame, std::int64_t wallTimeUs);

}  // namespace gatewaysim
