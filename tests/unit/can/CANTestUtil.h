// Helpers shared by the CAN unit tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include <atomic>

#include <customapp/CANTypes.h>

#include "FakeClock.h"
#include "FakeSink.h"
#include "TestPlatform.h"
#include "can/CAN.h"
#include "can/CANIPC.h"
#include "common/CyclicSchedule.h"

namespace cantest {

using CustomApplication::CANTypes::FrameType;
using CustomApplication::CoreTypes::CANBus;
using Bytes = std::vector<std::uint8_t>;

// What one callback call received.
struct Delivery {
    int tag;
    CANBus bus;
    std::uint32_t identifier;
    FrameType type;
    Bytes data;  // `length` bytes from the payload pointer
};

// Records callback calls from any thread. Each registration gets a context
// from Tag(), which names it in the record.
class Deliveries {
public:
    void* Tag(int tag) {
        std::lock_guard<std::mutex> guard(lock_);
        tags_.push_back(Context{this, tag});
        return &tags_.back();
    }

    static void Callback(void* context, CANBus bus, unsigned int identifier, FrameType type,
                         const unsigned char* data, unsigned char length) {
        auto* tagged = static_cast<Context*>(context);
        tagged->owner->Add(Delivery{tagged->tag, bus, identifier, type, Bytes(data, data + length)});
    }

    std::vector<Delivery> All() const {
        std::lock_guard<std::mutex> guard(lock_);
        return all_;
    }
    std::vector<int> Tags() const {
        std::vector<int> tags;
        for (const Delivery& delivery : All()) tags.push_back(delivery.tag);
        return tags;
    }
    bool Await(std::size_t count, int realTimeoutMs = 10'000) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(realTimeoutMs),
                                 [&] { return all_.size() >= count; });
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        all_.clear();
    }

private:
    struct Context {
        Deliveries* owner;
        int tag;
    };
    void Add(Delivery delivery) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            all_.push_back(std::move(delivery));
        }
        changed_.notify_all();
    }

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::deque<Context> tags_;
    std::vector<Delivery> all_;
};

// A received frame record as the platform sends it.
inline PlatformServices::CANIPC::Message Frame(std::uint32_t identifier, std::uint8_t extended, std::uint8_t bus,
                                               const Bytes& data, int lengthByte = -1) {
    PlatformServices::CANIPC::Message record{};
    record.Identifier = identifier;
    record.Extended = extended;
    record.Bus = bus;
    record.Length = static_cast<std::uint8_t>(lengthByte < 0 ? data.size() : lengthByte);
    if (!data.empty()) std::memcpy(record.Data, data.data(), std::min<std::size_t>(data.size(), 8));
    return record;
}

inline Bytes Payload(const PlatformServices::CANIPC::Message& record) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    return Bytes(bytes, bytes + sizeof record);
}

// The children of category-10 messages the platform recorded, in order.
inline std::vector<testsupport::TestPlatform::Child> CANChildren(const testsupport::TestPlatform& platform) {
    std::vector<testsupport::TestPlatform::Child> children;
    for (const auto& message : platform.Messages()) {
        if (message.category != 10) continue;
        for (const auto& child : message.children) children.push_back(child);
    }
    return children;
}

inline Bytes LittleEndian32(std::uint32_t value) {
    return Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// The expected payload of a subscription record.
inline Bytes SubscriptionBytes(std::uint8_t bus, std::uint32_t identifier, std::uint32_t mask) {
    Bytes bytes{bus, 0, 0, 0};
    for (const Bytes& part : {LittleEndian32(identifier), LittleEndian32(mask)}) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

// The expected payload of a frame record (unused bytes zero).
inline Bytes FrameBytes(std::uint32_t identifier, std::uint8_t extended, std::uint8_t bus, const Bytes& data) {
    Bytes bytes = LittleEndian32(identifier);
    bytes.push_back(extended);
    bytes.push_back(bus);
    bytes.push_back(0);
    bytes.push_back(static_cast<std::uint8_t>(data.size()));
    for (std::size_t i = 0; i < 8; ++i) bytes.push_back(i < data.size() ? data[i] : 0);
    return bytes;
}

// The CAN component alone: a recording sink, the stop state and a fake clock
// (at tick 0) in place of the private instance.
class CANComponent : public ::testing::Test {
protected:
    // The commands and payloads the component sent, in order (all category
    // 10 to address 254).
    std::vector<std::pair<std::int32_t, Bytes>> Sent() const {
        std::vector<std::pair<std::int32_t, Bytes>> sent;
        for (const auto& each : sink.sent) {
            EXPECT_EQ(each.category, 10);
            EXPECT_EQ(each.address, 254);
            sent.emplace_back(each.command, each.payload);
        }
        return sent;
    }

    testsupport::FakeClock clock{0};
    testsupport::ScopedClock scopedClock{clock};
    testsupport::FakeSink sink;
    std::atomic<bool> stop{false};
    CustomApplication::Internal::CAN can{sink, stop};
};

}  // namespace cantest
