#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bus/CanBus.h"

namespace {

using gatewaysim::CanBus;
using gatewaysim::CanFrame;
using gatewaysim::CanSender;
using gatewaysim::CanStuffedBits;
using gatewaysim::CanWireBits;
using gatewaysim::Origin;

CanFrame Frame(std::uint32_t id, bool extended, std::vector<std::uint8_t> data, bool remote = false) {
    CanFrame f;
    f.id = id;
    f.extended = extended;
    f.remote = remote;
    f.length = static_cast<std::uint8_t>(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) f.data[i] = data[i];
    return f;
}

// Start of frame to the end of the CRC, stuff bits included, worked out by
// hand from the fields, the CRC-15 division and the five-equal-bits rule.
TEST(CanWireTest, StuffedBitsAndLengthsOfKnownFrames) {
    struct Case {
        CanFrame frame;
        const char* bits;
    };
    const Case cases[] = {
        // 0x123 [11 22]: two stuff bits (after 00000 in the control field and in the CRC).
        {Frame(0x123, false, {0x11, 0x22}), "0001001000110000011000010001001000100000110010110111"},
        // 0x000 [00]: the data forces a stuff bit after every four bits.
        {Frame(0x000, false, {0x00}), "0000010000010000010001000001000100010000100110"},
        {Frame(0x18FEF100, true, {1, 2, 3, 4, 5, 6, 7, 8}),
         "0110001111101111011110001000001000001010000010000011000001010000010011000001100000100101000001110000010111"
         "000010000011000100010001"},
        // Recessive runs are stuffed too: 7FF remote.
        {Frame(0x7FF, false, {}, true), "0111110111110110000010101010011101010"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CanStuffedBits(c.frame), c.bits) << std::hex << c.frame.id;
        // Then CRC delimiter, ACK slot and delimiter, end of frame, interframe space.
        EXPECT_EQ(CanWireBits(c.frame), std::string(c.bits).size() + 13) << std::hex << c.frame.id;
    }
    // The shortest 8-byte extended frame: 118 bits to the CRC and 13 after it
    // (no stuff bit at all is impossible; its bound is what a burst needs at least).
    EXPECT_GE(CanWireBits(Frame(0x18FEF100, true, {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55})), 131u);
}

struct Seen {
    std::uint32_t id;
    bool extended;
    bool remote;
    std::int32_t sender;
    std::int64_t startUs;
    std::int64_t endUs;
    std::uint32_t bits;
    std::uint8_t first;  // data byte 0
};

std::vector<Seen> Drain(CanBus& bus, std::int64_t nowUs) {
    std::vector<Seen> seen;
    bus.Advance(nowUs, [&](const CanBus::Finished& f) {
        seen.push_back(
            {f.frame.id, f.frame.extended, f.frame.remote, f.origin.address, f.startUs, f.endUs, CanWireBits(f.frame),
             f.frame.data[0]});
    });
    return seen;
}

// Three senders contend: the bus carries one frame at a time for its length
// in bits; the arbitration field decides among the waiting heads (a lower
// identifier, then standard before extended, then data before remote for
// the same base identifier), and each sender's frames keep their order.
TEST(CanBusTest, ArbitrationAmongSendersAndOrderWithinOne) {
    CanBus bus(250000);
    const Origin a{Origin::Kind::kApplication, 1};
    const Origin b{Origin::Kind::kApplication, 2};
    const Origin c{Origin::Kind::kTool, 3};
    // Sender a: 0x300 then 0x050, which must wait behind it however low.
    ASSERT_EQ(bus.Offer(Frame(0x300, false, {1}), a, 0), CanBus::Offered::kQueued);
    ASSERT_EQ(bus.Offer(Frame(0x050, false, {2}), a, 0), CanBus::Offered::kQueued);
    // Sender b: extended, base identifier 0x300.
    ASSERT_EQ(bus.Offer(Frame(0x0C000000, true, {3}), b, 0), CanBus::Offered::kQueued);
    // Sender c: a remote request 0x300, then a standard 0x301.
    ASSERT_EQ(bus.Offer(Frame(0x300, false, {}, true), c, 0), CanBus::Offered::kQueued);
    ASSERT_EQ(bus.Offer(Frame(0x301, false, {4}), c, 0), CanBus::Offered::kQueued);

    // Nothing has finished at the start; the first frame ends after its bits.
    EXPECT_TRUE(Drain(bus, 0).empty());
    const std::int64_t first = bus.WireTimeUs(CanWireBits(Frame(0x300, false, {1})));
    EXPECT_EQ(first, 4 * CanWireBits(Frame(0x300, false, {1})));  // 4 µs a bit at 250 kbit/s
    EXPECT_EQ(bus.NextDueUs(), first);
    EXPECT_EQ(bus.Waiting(), 4u);

    const std::vector<Seen> seen = Drain(bus, 1'000'000);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].id, 0x300u);  // a's head: standard data frame wins over all of 0x300
    EXPECT_EQ(seen[0].sender, 1);
    EXPECT_EQ(seen[1].id, 0x050u);  // a's next, now the lowest
    EXPECT_EQ(seen[2].id, 0x300u);  // remote standard before the extended frame
    EXPECT_TRUE(seen[2].remote);
    EXPECT_EQ(seen[3].id, 0x0C000000u);  // extended 0x300 beats standard 0x301
    EXPECT_EQ(seen[4].id, 0x301u);
    // Back to back: each starts when the one before ended.
    EXPECT_EQ(seen[0].startUs, 0);
    EXPECT_EQ(seen[0].endUs, first);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].startUs, seen[i - 1].endUs);
        EXPECT_EQ(seen[i].endUs - seen[i].startUs, 4 * seen[i].bits) << i;
    }
    EXPECT_EQ(bus.NextDueUs(), -1);
    // A frame that comes while the bus is idle goes at once; one that comes
    // during a frame waits for its end even with a lower identifier.
    const std::int64_t t = 2'000'000;
    ASSERT_EQ(bus.Offer(Frame(0x700, false, {}), a, t), CanBus::Offered::kQueued);
    EXPECT_TRUE(Drain(bus, t).empty());
    ASSERT_EQ(bus.Offer(Frame(0x001, false, {}), b, t + 10), CanBus::Offered::kQueued);
    const std::vector<Seen> later = Drain(bus, t + 10'000);
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[0].id, 0x700u);
    EXPECT_EQ(later[0].startUs, t);
    EXPECT_EQ(later[1].startUs, later[0].endUs);
}

// A sender's queue is full at kQueueDepth: it is held back and no other
// sender is; a sender that cannot be held back loses frames beyond the
// bound, counted.
TEST(CanBusTest, AFullQueueHoldsBackItsSenderOnly) {
    CanBus bus(1000000);
    const Origin flood{Origin::Kind::kApplication, 1};
    const Origin other{Origin::Kind::kApplication, 2};
    for (std::size_t i = 1; i < CanBus::kQueueDepth; ++i)
        ASSERT_EQ(bus.Offer(Frame(0x100, false, {static_cast<std::uint8_t>(i)}), flood, 0), CanBus::Offered::kQueued);
    EXPECT_EQ(bus.Offer(Frame(0x100, false, {0}), flood, 0), CanBus::Offered::kQueuedFull);
    EXPECT_TRUE(bus.HoldsBack(flood));
    EXPECT_FALSE(bus.HoldsBack(other));
    EXPECT_EQ(bus.Offer(Frame(0x200, false, {}), other, 0), CanBus::Offered::kQueued);
    // The flood's head goes first (it came first), then the lower 0x100s in
    // order; once one has gone, the flood has room again.
    EXPECT_TRUE(Drain(bus, 0).empty());
    std::vector<Seen> seen = Drain(bus, bus.NextDueUs());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, 1);
    EXPECT_FALSE(bus.HoldsBack(flood));

    const Origin op{Origin::Kind::kOperator, 0};
    std::size_t dropped = 0;
    for (std::size_t i = 0; i < CanBus::kQueueBound + 5; ++i)
        dropped += bus.Offer(Frame(0x7FF, false, {}), op, 100) == CanBus::Offered::kDropped ? 1 : 0;
    EXPECT_EQ(dropped, 5u);
    bool found = false;
    for (const CanBus::SenderState& s : bus.Senders()) {
        if (s.sender == CanSender{Origin::Kind::kOperator, 0, 0}) {
            found = true;
            EXPECT_EQ(s.dropped, 5u);
            EXPECT_EQ(s.queued, CanBus::kQueueBound);
        }
        if (s.sender == CanSender{Origin::Kind::kApplication, 1, 0}) {
            EXPECT_EQ(s.peak, CanBus::kQueueDepth);
            EXPECT_EQ(s.sent, 1u);
        }
    }
    EXPECT_TRUE(found);
    // Everything still goes out, the flood in its order, 0x200 after the 0x100s.
    seen = Drain(bus, 10'000'000);
    ASSERT_EQ(seen.size(), CanBus::kQueueDepth + CanBus::kQueueBound);
    for (std::size_t i = 0; i + 1 < CanBus::kQueueDepth; ++i) {
        EXPECT_EQ(seen[i].id, 0x100u) << i;
        EXPECT_EQ(seen[i].first, (i + 2) % CanBus::kQueueDepth) << i;
    }
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i].startUs, seen[i - 1].endUs) << i;
    EXPECT_EQ(seen[CanBus::kQueueDepth - 1].id, 0x200u);

    // CAN tools that come and go leave no queues behind beyond those followed.
    for (std::int32_t tool = 0; tool < static_cast<std::int32_t>(2 * CanBus::kTrackedSenders); ++tool) {
        ASSERT_NE(bus.Offer(Frame(0x010, false, {}), Origin{Origin::Kind::kTool, tool}, 20'000'000),
                  CanBus::Offered::kDropped);
        ASSERT_EQ(Drain(bus, 30'000'000).size(), 1u);
    }
    EXPECT_LE(bus.Senders().size(), CanBus::kTrackedSenders);
}

// Frames of several buses come out of one step in the order they ended on
// the wire, whatever bus carried them; a silence takes every frame off a bus.
TEST(CanBusTest, BusesAdvancedTogetherHandOverInWireOrderAndASilenceEmptiesOne) {
    std::vector<CanBus> buses;
    buses.emplace_back(250000);
    buses.emplace_back(1000000);
    const Origin app{Origin::Kind::kApplication, 1};
    for (std::uint8_t bus = 0; bus < 2; ++bus) {
        for (int i = 0; i < 20; ++i) {
            CanFrame f = Frame(0x100, false, {static_cast<std::uint8_t>(i), 0, 0, 0, 0, 0, 0, 0});
            f.bus = bus;
            (void)buses[bus].Offer(f, app, 0);
        }
    }
    std::vector<CanBus::Finished> scratch;
    std::vector<CanBus::Finished> seen;
    const std::int64_t due = gatewaysim::AdvanceInWireOrder(
        buses, 5000, &scratch, [&](const CanBus::Finished& f) { seen.push_back(f); });
    ASSERT_GT(seen.size(), 20u);
    bool both = false;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_LE(seen[i - 1].endUs, seen[i].endUs) << i;
        both = both || seen[i].frame.bus != seen[i - 1].frame.bus;
    }
    EXPECT_TRUE(both);
    EXPECT_GT(due, 5000);

    // The rest of bus 0, the frame on its wire included, never goes.
    std::size_t discarded = 0;
    buses[0].Discard(5000, [&](const CanFrame&, const Origin&) { ++discarded; });
    std::size_t carried0 = 0;
    for (const CanBus::Finished& f : seen) carried0 += f.frame.bus == 0 ? 1 : 0;
    EXPECT_EQ(carried0 + discarded, 20u);
    EXPECT_EQ(buses[0].Waiting(), 0u);
    EXPECT_EQ(buses[0].NextDueUs(), -1);
    EXPECT_FALSE(buses[0].HoldsBack(app));
}

}  // namespace
