// The platform layer's frame and child-list parsers on arbitrary bytes.
//
// Input: one byte n (low 3 bits: number of cut points), n 16-bit cut
// offsets, then the byte stream. The stream is parsed once whole and once
// arriving in the pieces the cuts give, the way the client's receive buffer
// sees it; both must give the same frames and the same verdict. Each frame is
// decoded into children, encoded again and decoded again to the same thing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzRig.h"
#include "QRVMessage.h"

using PlatformServices::QRVMessage;

namespace {

struct Decoded {
    std::vector<std::unique_ptr<QRVMessage>> frames;
    bool malformed = false;
};

void Check(bool condition) {
    if (!condition) std::abort();
}

// Takes whole frames off the front of `buffer` from `*start` on, as the
// client's receive loop does.
void TakeFrames(const std::vector<std::uint8_t>& buffer, std::size_t* start, Decoded& out) {
    while (!out.malformed) {
        std::unique_ptr<QRVMessage> message;
        std::size_t used = 0;
        // An exact-size copy of the unparsed bytes: reading past them is a fault.
        std::vector<std::uint8_t> unparsed(buffer.begin() + static_cast<std::ptrdiff_t>(*start), buffer.end());
        const auto parsed = QRVMessage::ParseFrame(unparsed.empty() ? nullptr : unparsed.data(), unparsed.size(),
                                                   &message, &used);
        if (parsed == QRVMessage::ParseResult::kIncomplete) return;
        if (parsed == QRVMessage::ParseResult::kMalformed) {
            out.malformed = true;
            return;
        }
        Check(message != nullptr && used >= QRVMessage::kLengthPrefixBytes + QRVMessage::kHeaderBytes &&
              used <= unparsed.size());
        *start += used;
        out.frames.push_back(std::move(message));
    }
}

bool SameMessage(const QRVMessage& a, const QRVMessage& b) {
    return a.GetMessageType() == b.GetMessageType() && a.GetCommand() == b.GetCommand() &&
           a.GetAddress() == b.GetAddress() && a.GetSourceAddress() == b.GetSourceAddress() &&
           a.GetLength() == b.GetLength() && (a.GetLength() == 0 || std::memcmp(a.GetData(), b.GetData(), a.GetLength()) == 0);
}

// Children, then encode and decode again: the same children come back.
void RoundTrip(QRVMessage& message) {
    const bool valid = message.ParseChildMessages();
    const auto& children = message.GetChildMessages();
    Check(valid || children.empty());
    for (const auto& child : children) fuzzrig::Touch(child->GetData(), child->GetLength());

    std::vector<std::uint8_t> encoded;
    const std::size_t bytes = message.Serialize(encoded);
    Check(bytes == encoded.size());
    if (bytes == 0) return;
    std::unique_ptr<QRVMessage> again;
    std::size_t used = 0;
    Check(QRVMessage::ParseFrame(encoded.data(), encoded.size(), &again, &used) == QRVMessage::ParseResult::kOk);
    Check(used == encoded.size());
    if (children.empty()) {
        Check(SameMessage(message, *again));
        return;
    }
    Check(again->ParseChildMessages());
    const auto& decoded = again->GetChildMessages();
    Check(decoded.size() == children.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
        Check(SameMessage(*children[i], *decoded[i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t cutCount = data[0] & 7;
    std::size_t at = 1;
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < cutCount && at + 2 <= size; ++i, at += 2) {
        cuts.push_back(data[at] | (data[at + 1] << 8));
    }
    const std::vector<std::uint8_t> stream(data + at, data + size);

    Decoded whole;
    std::size_t start = 0;
    TakeFrames(stream, &start, whole);

    // The same bytes arriving in pieces.
    Decoded pieces;
    std::vector<std::uint8_t> buffer;
    std::size_t pieceStart = 0;
    std::size_t taken = 0;
    cuts.push_back(stream.size());
    for (std::size_t cut : cuts) {
        if (cut > stream.size()) cut = stream.size();
        if (cut <= taken) continue;
        buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(taken),
                      stream.begin() + static_cast<std::ptrdiff_t>(cut));
        taken = cut;
        TakeFrames(buffer, &pieceStart, pieces);
    }
    if (taken < stream.size()) {
        buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(taken), stream.end());
        TakeFrames(buffer, &pieceStart, pieces);
    }

    Check(whole.malformed == pieces.malformed);
    Check(whole.frames.size() == pieces.frames.size());
    for (std::size_t i = 0; i < whole.frames.size(); ++i) {
        Check(SameMessage(*whole.frames[i], *pieces.frames[i]));
        RoundTrip(*whole.frames[i]);
    }
    return 0;
}
