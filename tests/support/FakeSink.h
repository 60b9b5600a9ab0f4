// Thread rule: one thread at a time; a component test drives the component
// from the test's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/MessageSink.h"

namespace testsupport {

// A message sink that records every request a component sends, for tests
// that read the identifiers and bytes a component put on the wire.
class FakeSink final : public CustomApplication::MessageSink {
public:
    struct Sent {
        std::int32_t category, address, command;
        std::vector<std::uint8_t> payload;
    };

    int Send(std::int32_t category, std::int32_t address, std::int32_t command, const void* data,
             std::size_t length) override {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        sent.push_back({category, address, command,
                        bytes != nullptr ? std::vector<std::uint8_t>(bytes, bytes + length)
                                         : std::vector<std::uint8_t>{}});
        writes.push_back(1);
        if (onSend) onSend(Sent(sent.back()));
        return result;
    }
    // Several children in one write: each is recorded in `sent` as if sent
    // alone, and `writes` counts them as one.
    int SendChildren(std::int32_t category, std::int32_t address, const CustomApplication::ChildMessage* children,
                     std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            const auto* bytes = static_cast<const std::uint8_t*>(children[i].data);
            sent.push_back({category, address, children[i].command,
                            bytes != nullptr ? std::vector<std::uint8_t>(bytes, bytes + children[i].length)
                                             : std::vector<std::uint8_t>{}});
            if (onSend) onSend(Sent(sent.back()));
        }
        writes.push_back(count);
        return result;
    }
    bool Connected() const override { return true; }

    std::vector<Sent> sent;
    // Per write, in order: how many requests of `sent` it carried.
    std::vector<std::size_t> writes;
    // What every Send returns (the request is recorded all the same): a
    // test's stand-in for a failed write.
    int result = 0;
    // Runs after each request is recorded, on the sending thread: a test's
    // stand-in for the platform's answer.
    std::function<void(const Sent&)> onSend;
};

}  // namespace testsupport
