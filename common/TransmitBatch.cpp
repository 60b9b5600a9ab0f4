#include "common/TransmitBatch.h"

#include <cerrno>
#include <new>

#include "QRVMessage.h"

namespace CustomApplication {

int TransmitBatch::Send(std::int32_t category, std::int32_t address, std::int32_t command, const void* data,
                        std::size_t length) {
    using PlatformServices::QRVMessage;
    const std::size_t encoded = QRVMessage::kChildHeaderBytes + length;
    if (encoded > QRVMessage::kMaxPayloadBytes) {
        (void)WriteMessage();
        return target_.Send(category, address, command, data, length);
    }
    if (!queued_.empty() && (category != category_ || address != address_ ||
                             encodedBytes_ + encoded > QRVMessage::kMaxPayloadBytes)) {
        (void)WriteMessage();
    }
    const std::size_t offset = bytes_.size();
    try {
        const auto* begin = static_cast<const std::uint8_t*>(data);
        if (length > 0) bytes_.insert(bytes_.end(), begin, begin + length);
        queued_.push_back({command, offset, length});
    } catch (const std::bad_alloc&) {
        if (bytes_.size() > offset) bytes_.resize(offset);  // shrinking allocates nothing
        return -ENOMEM;
    }
    category_ = category;
    address_ = address;
    encodedBytes_ += encoded;
    return 0;
}

int TransmitBatch::Flush() {
    (void)WriteMessage();
    const int result = firstFailure_;
    firstFailure_ = 0;
    return result;
}

int TransmitBatch::WriteMessage() {
    if (queued_.empty()) return 0;
    int result = -ENOMEM;
    try {
        children_.clear();
        for (const Queued& each : queued_) {
            children_.push_back({each.command, each.length > 0 ? bytes_.data() + each.offset : nullptr, each.length});
        }
        result = target_.SendChildren(category_, address_, children_.data(), children_.size());
    } catch (const std::bad_alloc&) {
    }
    queued_.clear();
    bytes_.clear();
    encodedBytes_ = 0;
    if (result != 0 && firstFailure_ == 0) firstFailure_ = result;
    return result;
}

}  // namespace CustomApplication
