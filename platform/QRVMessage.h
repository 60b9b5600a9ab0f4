// Thread rule: a QRVMessage is not synchronised. One thread builds or reads a
// message at a time; a received message belongs to the batch that holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace PlatformServices {

// One IPC message. A top-level message (type 0) carries the IPC category as
// its command and the destination address; its payload is the encoded list of
// its children (type 1), each with a command and payload bytes of its own.
// The byte layout on the wire is described in WIRE_FORMAT.md.
class QRVMessage {
public:
    using ChildList = std::vector<std::unique_ptr<QRVMessage>>;

    // Wire limits. A frame is the 4-byte length prefix plus the message.
    static constexpr std::size_t kLengthPrefixBytes = 4;
    static constexpr std::size_t kHeaderBytes = 16;
    static constexpr std::size_t kChildHeaderBytes = 12;
    static constexpr std::size_t kMaxFrameBytes = 64 * 1024;
    static constexpr std::size_t kMaxPayloadBytes = kMaxFrameBytes - kLengthPrefixBytes - kHeaderBytes;

    // Message types used on the wire.
    static constexpr std::int32_t kTypeEnvelope = 0;
    static constexpr std::int32_t kTypeChild = 1;
    static constexpr std::int32_t kTypeRegister = 2;     // client -> server: command = address
    static constexpr std::int32_t kTypeRegisterAck = 3;  // server -> client: command = result

    QRVMessage(std::int32_t messageType, std::int32_t command, std::int32_t address);
    ~QRVMessage();
    QRVMessage(const QRVMessage&) = delete;
    QRVMessage& operator=(const QRVMessage&) = delete;

    // Appends a child owned by this message and returns it (never null).
    QRVMessage* NewChildMessage(std::int32_t messageType);

    // Sets the command and copies `length` bytes of `data` as the payload.
    // Returns false, leaving the payload empty, when `length` exceeds
    // kMaxPayloadBytes or `data` is null with a non-zero length. Children
    // parsed from the old payload are dropped with it.
    bool Build(std::int32_t command, std::size_t length, const void* data, bool reserved);

    std::int32_t GetMessageType() const { return type_; }
    std::int32_t GetCommand() const { return command_; }
    std::int32_t GetAddress() const { return address_; }
    std::int32_t GetSourceAddress() const { return source_; }
    void SetSourceAddress(std::int32_t address) { source_ = address; }

    // Payload pointer, null when the payload is empty. A parsed child's
    // payload is not copied: it points into its parent's payload and is
    // valid as long as the child is.
    const std::uint8_t* GetData() const {
        if (view_ != nullptr) return view_;
        return payload_.empty() ? nullptr : payload_.data();
    }
    std::size_t GetLength() const { return view_ != nullptr ? viewLength_ : payload_.size(); }

    // Decodes the payload of a received top-level message into children.
    // Every length is checked against the payload; on any inconsistency no
    // child is kept and false is returned. Calling it again is harmless.
    // The children stay valid until the message is destroyed, received into
    // again (ParseFrameInto) or given a new payload (Build).
    bool ParseChildMessages();
    const ChildList& GetChildMessages() const { return children_; }

    // Appends the whole frame (length prefix included) to `out`. Returns the
    // number of bytes appended, or 0 (appending nothing) if the frame would
    // exceed kMaxFrameBytes or cannot be encoded: a type outside 0..255, or a
    // child that has children of its own.
    std::size_t Serialize(std::vector<std::uint8_t>& out) const;
    // Appends the frame of an envelope of `category` from `source` to
    // `destination` with one child (`command` and `length` bytes of `data`):
    // the bytes that building that message and serialising it give, without
    // building it. Returns the bytes appended, or 0 (appending nothing) when
    // the child does not fit kMaxPayloadBytes or `data` is null.
    static std::size_t SerializeEnvelope(std::vector<std::uint8_t>& out, std::int32_t category,
                                         std::int32_t destination, std::int32_t source, std::int32_t command,
                                         const void* data, std::size_t length);

    // Frame parsing. Inspects the start of `data`:
    //   kIncomplete: fewer bytes than one whole frame, read more;
    //   kMalformed:  the length prefix is out of range, the stream is unusable;
    //   kOk:         one frame of `*frameBytes` bytes decoded into `*message`.
    enum class ParseResult { kOk, kIncomplete, kMalformed };
    static ParseResult ParseFrame(const std::uint8_t* data, std::size_t size,
                                  std::unique_ptr<QRVMessage>* message, std::size_t* frameBytes);
    // The same, decoding into `*message` when it is not null: the message
    // object, its payload's storage and its children are reused, so a message
    // received again and again into one object allocates nothing once grown.
    // On kIncomplete and kMalformed `*message` is left unchanged.
    static ParseResult ParseFrameInto(const std::uint8_t* data, std::size_t size, QRVMessage* message,
                                      std::size_t* frameBytes);

    // Payload capacity (bytes) and spare children above which a reused
    // message gives its storage back instead of keeping it for the next one.
    static constexpr std::size_t kKeptPayloadCapacity = 4096;
    static constexpr std::size_t kKeptSpareChildren = 32;

    // Bytes of heap storage the message holds (itself, its payload's
    // capacity, its children and spare children), to bound pools of them.
    // Constant time unless a child has been given storage of its own.
    std::size_t StorageBytes() const;

private:
    std::size_t EncodedPayloadBytes() const;
    // Called by every operation that may give this message storage of its
    // own: tells its parent that its children are no longer all bare.
    void Touch() {
        if (parent_ != nullptr) parent_->childStorage_ = true;
    }
    // Moves the children to the spare list, keeping their storage.
    void RetireChildren();

    std::int32_t type_;
    std::int32_t command_;
    std::int32_t address_;
    std::int32_t source_ = 0;
    std::vector<std::uint8_t> payload_;
    // A parsed child's payload: a range of the parent's payload_ (null when
    // the payload is its own).
    const std::uint8_t* view_ = nullptr;
    std::size_t viewLength_ = 0;
    ChildList children_;
    ChildList spare_;  // children of an earlier parse, kept for reuse
    QRVMessage* parent_ = nullptr;  // the message owning this child, if any
    // False while every child and spare is bare: no payload storage, no
    // children or spares of its own (parsed children refer to this message's
    // payload). StorageBytes walks the children only when it is true.
    bool childStorage_ = false;
    bool parsed_ = false;
};

using MessageBatch = std::vector<std::unique_ptr<QRVMessage>>;

}  // namespace PlatformServices
