#include "QRVMessage.h"

#include <cstring>

namespace PlatformServices {

namespace {

void PutU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

void PutI32(std::uint8_t* p, std::int32_t v) {
    PutU32(p, static_cast<std::uint32_t>(v));
}

std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t GetI32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(GetU32(p));
}

// The type travels as one byte.
bool TypeFits(std::int32_t type) {
    return type >= 0 && type <= 0xFF;
}

// Writes a frame's length prefix and header; returns where its payload goes.
std::uint8_t* PutHeader(std::uint8_t* p, std::int32_t type, std::int32_t command, std::int32_t address,
                        std::int32_t source, std::size_t payloadBytes) {
    PutU32(p, static_cast<std::uint32_t>(QRVMessage::kHeaderBytes + payloadBytes));
    p += QRVMessage::kLengthPrefixBytes;
    p[0] = static_cast<std::uint8_t>(type);
    p[1] = p[2] = p[3] = 0;
    PutI32(p + 4, command);
    PutI32(p + 8, address);
    PutI32(p + 12, source);
    return p + QRVMessage::kHeaderBytes;
}

// Writes a child's header and payload; returns the end.
std::uint8_t* PutChild(std::uint8_t* p, std::int32_t type, std::int32_t command, const std::uint8_t* data,
                       std::size_t length) {
    p[0] = static_cast<std::uint8_t>(type);
    p[1] = p[2] = p[3] = 0;
    PutI32(p + 4, command);
    PutU32(p + 8, static_cast<std::uint32_t>(length));
    p += QRVMessage::kChildHeaderBytes;
    if (length != 0) std::memcpy(p, data, length);
    return p + length;
}

// Returned by EncodedPayloadBytes when the payload cannot be encoded.
constexpr std::size_t kUnencodable = static_cast<std::size_t>(-1);

}  // namespace

QRVMessage::QRVMessage(std::int32_t messageType, std::int32_t command, std::int32_t address)
    : type_(messageType), command_(command), address_(address) {}

QRVMessage::~QRVMessage() = default;

QRVMessage* QRVMessage::NewChildMessage(std::int32_t messageType) {
    Touch();
    children_.push_back(std::make_unique<QRVMessage>(messageType, 0, 0));
    children_.back()->parent_ = this;
    return children_.back().get();
}

bool QRVMessage::Build(std::int32_t command, std::size_t length, const void* data,
                       bool /*reserved*/) {
    Touch();
    command_ = command;
    view_ = nullptr;
    viewLength_ = 0;
    if (parsed_) {
        // Parsed children refer to the payload about to be replaced.
        RetireChildren();
        parsed_ = false;
    }
    if (length > kMaxPayloadBytes || (data == nullptr && length != 0)) {
        payload_.clear();
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    payload_.assign(bytes, bytes + length);
    return true;
}

bool QRVMessage::ParseChildMessages() {
    // Children already present (built here, or parsed by an earlier call) stay.
    if (!children_.empty()) return true;
    if (parsed_) return GetLength() == 0;
    parsed_ = true;
    Touch();

    const std::uint8_t* p = GetData();
    std::size_t left = GetLength();
    while (left > 0) {
        if (left < kChildHeaderBytes || GetU32(p + 8) > left - kChildHeaderBytes) {
            RetireChildren();
            return false;
        }
        const std::uint32_t length = GetU32(p + 8);
        std::unique_ptr<QRVMessage> child;
        if (!spare_.empty()) {
            child = std::move(spare_.back());
            spare_.pop_back();
            if (childStorage_) {
                // The spare may have been given children or a payload of its
                // own since it was parsed.
                child->children_.clear();
                child->spare_.clear();
                if (child->payload_.capacity() > kKeptPayloadCapacity) {
                    std::vector<std::uint8_t>().swap(child->payload_);
                }
                child->payload_.clear();
            }
            child->type_ = p[0];
            child->command_ = GetI32(p + 4);
            child->address_ = 0;
            child->source_ = 0;
            child->parsed_ = false;
        } else {
            child = std::make_unique<QRVMessage>(p[0], GetI32(p + 4), 0);
            child->parent_ = this;
        }
        // The child's payload stays where it is, in this message's payload.
        child->view_ = length != 0 ? p + kChildHeaderBytes : nullptr;
        child->viewLength_ = length;
        children_.push_back(std::move(child));
        p += kChildHeaderBytes + length;
        left -= kChildHeaderBytes + length;
    }
    return true;
}

void QRVMessage::RetireChildren() {
    if (children_.empty()) return;
    if (spare_.empty()) {
        // The usual case: the spares were all taken by the last parse.
        spare_.swap(children_);
    } else {
        for (auto& child : children_) {
            if (spare_.size() >= kKeptSpareChildren) break;
            spare_.push_back(std::move(child));
        }
        children_.clear();
    }
    if (spare_.size() > kKeptSpareChildren) spare_.resize(kKeptSpareChildren);
}

std::size_t QRVMessage::StorageBytes() const {
    std::size_t bytes = sizeof(QRVMessage) + payload_.capacity() +
                        (children_.capacity() + spare_.capacity()) * sizeof(ChildList::value_type);
    if (!childStorage_) return bytes + (children_.size() + spare_.size()) * sizeof(QRVMessage);
    for (const auto& child : children_) bytes += child->StorageBytes();
    for (const auto& child : spare_) bytes += child->StorageBytes();
    return bytes;
}

std::size_t QRVMessage::EncodedPayloadBytes() const {
    if (children_.empty()) return GetLength();
    std::size_t total = 0;
    for (const auto& child : children_) {
        // Children are one level deep on the wire.
        if (!child->children_.empty() || !TypeFits(child->type_)) return kUnencodable;
        const std::size_t bytes = kChildHeaderBytes + child->GetLength();
        if (bytes > kMaxPayloadBytes - total) return kUnencodable;
        total += bytes;
    }
    return total;
}

std::size_t QRVMessage::Serialize(std::vector<std::uint8_t>& out) const {
    if (!TypeFits(type_)) return 0;
    const std::size_t payloadBytes = EncodedPayloadBytes();
    if (payloadBytes > kMaxPayloadBytes) return 0;

    const std::size_t frameBytes = kLengthPrefixBytes + kHeaderBytes + payloadBytes;
    const std::size_t offset = out.size();
    out.resize(offset + frameBytes);
    std::uint8_t* p = out.data() + offset;

    p = PutHeader(p, type_, command_, address_, source_, payloadBytes);
    if (children_.empty()) {
        if (payloadBytes != 0) std::memcpy(p, GetData(), payloadBytes);
        return frameBytes;
    }
    for (const auto& child : children_) p = PutChild(p, child->type_, child->command_, child->GetData(), child->GetLength());
    return frameBytes;
}

std::size_t QRVMessage::SerializeEnvelope(std::vector<std::uint8_t>& out, std::int32_t category,
                                         std::int32_t destination, std::int32_t source, std::int32_t command,
                                         const void* data, std::size_t length) {
    if (length > kMaxPayloadBytes - kChildHeaderBytes || (data == nullptr && length != 0)) return 0;
    const std::size_t frameBytes = kLengthPrefixBytes + kHeaderBytes + kChildHeaderBytes + length;
    const std::size_t offset = out.size();
    out.resize(offset + frameBytes);
    std::uint8_t* p = PutHeader(out.data() + offset, kTypeEnvelope, category, destination, source,
                                kChildHeaderBytes + length);
    PutChild(p, kTypeChild, command, static_cast<const std::uint8_t*>(data), length);
    return frameBytes;
}

namespace {

// Checks the length prefix at the start of `data`; on kOk `*length` is the
// byte count after the prefix.
inline QRVMessage::ParseResult FrameLength(const std::uint8_t* data, std::size_t size, std::uint32_t* length) {
    if (data == nullptr || size < QRVMessage::kLengthPrefixBytes) return QRVMessage::ParseResult::kIncomplete;
    *length = GetU32(data);
    if (*length < QRVMessage::kHeaderBytes || *length > QRVMessage::kMaxFrameBytes - QRVMessage::kLengthPrefixBytes)
        return QRVMessage::ParseResult::kMalformed;
    if (size - QRVMessage::kLengthPrefixBytes < *length) return QRVMessage::ParseResult::kIncomplete;
    return QRVMessage::ParseResult::kOk;
}

}  // namespace

QRVMessage::ParseResult QRVMessage::ParseFrame(const std::uint8_t* data, std::size_t size,
                                               std::unique_ptr<QRVMessage>* message,
                                               std::size_t* frameBytes) {
    std::uint32_t length = 0;
    const ParseResult checked = FrameLength(data, size, &length);
    if (checked != ParseResult::kOk) return checked;

    const std::uint8_t* h = data + kLengthPrefixBytes;
    if (message != nullptr) {
        auto m = std::make_unique<QRVMessage>(h[0], GetI32(h + 4), GetI32(h + 8));
        m->source_ = GetI32(h + 12);
        m->payload_.assign(h + kHeaderBytes, h + length);
        *message = std::move(m);
    }
    if (frameBytes != nullptr) *frameBytes = kLengthPrefixBytes + length;
    return ParseResult::kOk;
}

QRVMessage::ParseResult QRVMessage::ParseFrameInto(const std::uint8_t* data, std::size_t size,
                                                   QRVMessage* message, std::size_t* frameBytes) {
    std::uint32_t length = 0;
    const ParseResult checked = FrameLength(data, size, &length);
    if (checked != ParseResult::kOk) return checked;
    const std::size_t used = kLengthPrefixBytes + length;
    if (message != nullptr) {
        const std::uint8_t* h = data + kLengthPrefixBytes;
        message->type_ = h[0];
        message->command_ = GetI32(h + 4);
        message->address_ = GetI32(h + 8);
        message->source_ = GetI32(h + 12);
        message->Touch();
        message->RetireChildren();
        if (message->childStorage_) {
            // Children given storage of their own are not kept for reuse:
            // every spare left is bare again.
            message->spare_.clear();
            message->childStorage_ = false;
        }
        message->parsed_ = false;
        message->view_ = nullptr;
        message->viewLength_ = 0;
        if (message->payload_.capacity() > kKeptPayloadCapacity) {
            std::vector<std::uint8_t>().swap(message->payload_);
        }
        message->payload_.assign(h + kHeaderBytes, data + used);
    }
    if (frameBytes != nullptr) *frameBytes = used;
    return ParseResult::kOk;
}

}  // namespace PlatformServices
