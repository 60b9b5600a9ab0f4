// The simulator's reader of the socketcand protocol on arbitrary client input.
//
// Input: one byte whose bits give the sizes of the pieces the rest arrives
// in (as TCP delivers it), then the bytes a client sends. Every element the
// reader takes is parsed; a frame to send must be one a bus can carry, and
// its text form must hold what it says.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "socketcand/SocketcandProtocol.h"

using namespace gatewaysim;

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned cuts = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;
    SocketcandReader reader;
    std::string element;
    for (unsigned piece = 0; left > 0; ++piece) {
        const std::size_t length = std::min<std::size_t>(left, 1 + ((cuts >> (piece % 8)) & 1) * 37 + piece % 5);
        reader.Append(text, length);
        text += length;
        left -= length;
        for (;;) {
            const SocketcandReader::Next next = reader.Take(&element);
            if (next == SocketcandReader::Next::kNone || next == SocketcandReader::Next::kTooLong) break;
            if (next == SocketcandReader::Next::kJunk) continue;
            Check(element.size() <= SocketcandReader::kMaxElementBytes);
            SocketcandRequest request;
            std::string error;
            if (!ParseSocketcandElement(element, &request, &error)) {
                Check(!error.empty());
                continue;
            }
            if (request.kind == SocketcandRequest::Kind::kOpen) Check(request.bus <= 4);
            if (request.kind != SocketcandRequest::Kind::kSend) continue;
            const CanFrame& frame = request.frame;
            Check(frame.length <= 8);
            Check(frame.extended ? frame.id <= 0x1FFFFFFF : frame.id <= 0x7FF);
            const std::string out = FormatSocketcandFrame(frame, 1700000000000001);
            Check(out.size() == (frame.extended ? 38u : 33u) + 2u * frame.length);
            Check(out.compare(0, 9, " < frame ") == 0 && out.compare(out.size() - 2, 2, " >") == 0);
        }
    }
    return 0;
}
