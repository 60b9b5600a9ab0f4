#include "socketcand/SocketcandProtocol.h"

#include <charconv>
#include <cstdio>
#include <vector>

namespace gatewaysim {

namespace {

bool Fail(std::string* error, const char* reason) {
    if (error) *error = reason;
    return false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsBlank(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !IsBlank(text[i])) ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

// 1 to `maxDigits` hex digits.
bool ParseHex(std::string_view text, std::size_t maxDigits, std::uint32_t* value) {
    if (text.empty() || text.size() > maxDigits) return false;
    std::uint32_t v = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v, 16);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    *value = v;
    return true;
}

}  // namespace

SocketcandReader::Next SocketcandReader::Take(std::string* element) {
    std::size_t start = 0;
    while (start < buffer_.size() && IsBlank(buffer_[start])) ++start;
    if (start < buffer_.size() && buffer_[start] != '<') {
        std::size_t end = buffer_.find('<', start);
        if (end == std::string::npos) end = buffer_.size();
        element->assign(buffer_, start, std::min<std::size_t>(end - start, 32));
        buffer_.erase(0, end);
        return Next::kJunk;
    }
    buffer_.erase(0, start);
    if (buffer_.empty()) return Next::kNone;
    const std::size_t close = buffer_.find('>');
    if (close == std::string::npos || close > kMaxElementBytes) {
        if (buffer_.size() <= kMaxElementBytes) return Next::kNone;
        buffer_.clear();
        return Next::kTooLong;
    }
    element->assign(buffer_, 1, close - 1);
    buffer_.erase(0, close + 1);
    return Next::kElement;
}

bool ParseSocketcandElement(std::string_view element, SocketcandRequest* request, std::string* error) {
    const std::vector<std::string_view> words = Words(element);
    if (words.empty()) return Fail(error, "empty element");
    SocketcandRequest r;
    r.word = std::string(words[0]);
    const std::string_view command = words[0];
    if (command == "open") {
        if (words.size() != 2) return Fail(error, "open takes one bus");
        const std::string_view bus = words[1];
        if (bus.size() != 4 || bus.substr(0, 3) != "can" || bus[3] < '0' || bus[3] > '4')
            return Fail(error, "the buses are can0 to can4");
        r.kind = SocketcandRequest::Kind::kOpen;
        r.bus = static_cast<std::uint8_t>(bus[3] - '0');
    } else if (command == "rawmode" || command == "echo") {
        if (words.size() != 1) return Fail(error, "unexpected text after the command");
        r.kind = command == "echo" ? SocketcandRequest::Kind::kEcho : SocketcandRequest::Kind::kRawMode;
    } else if (command == "send") {
        std::uint32_t id = 0;
        std::uint32_t length = 0;
        if (words.size() < 3 || !ParseHex(words[1], 8, &id) || id > 0x1FFFFFFF)
            return Fail(error, "send takes an identifier of up to 8 hex digits, at most 1FFFFFFF");
        if (!ParseHex(words[2], 1, &length) || length > 8) return Fail(error, "send takes a length of 0 to 8");
        if (words.size() != 3 + length) return Fail(error, "the length does not match the bytes given");
        r.kind = SocketcandRequest::Kind::kSend;
        r.frame.id = id;
        r.frame.extended = id > 0x7FF || words[1].size() == 8;
        r.frame.length = static_cast<std::uint8_t>(length);
        for (std::uint32_t i = 0; i < length; ++i) {
            std::uint32_t byte = 0;
            if (!ParseHex(words[3 + i], 2, &byte)) return Fail(error, "a data byte is 1 or 2 hex digits");
            r.frame.data[i] = static_cast<std::uint8_t>(byte);
        }
    } else if (command == "bcmmode" || command == "isotpmode" || command == "controlmode") {
        r.kind = SocketcandRequest::Kind::kOtherMode;
    } else {
        return Fail(error, "unknown command");
    }
    *request = r;
    return true;
}

std::string FormatSocketcandFrame(const CanFrame& frame, std::int64_t wallTimeUs) {
    if (wallTimeUs < 0) wallTimeUs = 0;
    char text[96];
    int n = std::snprintf(text, sizeof(text), frame.extended ? " < frame %08X %lld.%06lld " : " < frame %03X %lld.%06lld ",
                          static_cast<unsigned>(frame.id), static_cast<long long>(wallTimeUs / 1000000),
                          static_cast<long long>(wallTimeUs % 1000000));
    static const char digits[] = "0123456789ABCDEF";
    const std::uint8_t length = frame.length > 8 ? 8 : frame.length;
    for (std::uint8_t i = 0; i < length; ++i) {
        text[n++] = digits[frame.data[i] >> 4];
        text[n++] = digits[frame.data[i] & 0xF];
    }
    std::string s(text, static_cast<std::size_t>(n));
    s += " >";
    return s;
}

}  // namespace gatewaysim
