// Thread rule: a batch belongs to the one thread that fills and flushes it
// (the service thread, for one pass); it forwards Connected and the like to
// its target, which any thread may call.
//
// The writes of one service pass, gathered. Each request sent through the
// batch is kept, in order, and Flush sends them as few requests as the wire
// allows: the consecutive ones to the same category and address become the
// children of one top-level message, written once (a new message begins
// where the category or address changes or the next child would not fit a
// frame). So the rows due in a pass go out together, and a row late in the
// pass does not wait for the writes of the rows before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/MessageSink.h"

namespace CustomApplication {

class TransmitBatch final : public MessageSink {
public:
    explicit TransmitBatch(MessageSink& target) : target_(target) {}
    // Sends what is still kept.
    ~TransmitBatch() override { (void)Flush(); }
    TransmitBatch(const TransmitBatch&) = delete;
    TransmitBatch& operator=(const TransmitBatch&) = delete;

    // Keeps the request for Flush: 0, or -ENOMEM (nothing kept). A request
    // too large for any message is sent alone at once (after what was kept),
    // and its write's result returned.
    int Send(std::int32_t category, std::int32_t address, std::int32_t command, const void* data,
             std::size_t length) override;
    bool Connected() const override { return target_.Connected(); }
    std::uint32_t Connection() const override { return target_.Connection(); }
    bool OnReceivingThread() const override { return target_.OnReceivingThread(); }

    // Sends every request kept, one write per message, and forgets them: 0,
    // or the first failed write's result (the requests of a failed write
    // are lost, as a request whose own write failed would be).
    int Flush();

private:
    struct Queued {
        std::int32_t command;
        std::size_t offset;  // into bytes_
        std::size_t length;
    };
    // Writes the requests kept for the current message.
    int WriteMessage();

    MessageSink& target_;
    std::int32_t category_ = 0;
    std::int32_t address_ = 0;
    std::size_t encodedBytes_ = 0;  // payload of the current message so far
    std::vector<Queued> queued_;
    std::vector<std::uint8_t> bytes_;
    std::vector<ChildMessage> children_;  // WriteMessage's list, kept for reuse
    int firstFailure_ = 0;
};

}  // namespace CustomApplication
