// The receive-table index gives exactly the rows of the matching rule, in
// ascending identifier order, however the masks are spread.
#include <gtest/gtest.h>

#include <random>

#include "can/CANReceiveIndex.h"

using CustomApplication::CANTypes::FrameType;
using CustomApplication::CoreTypes::CANBus;
using CustomApplication::Internal::CANReceiveIndex;
using CustomApplication::Internal::CANReceiveRow;

namespace {

void Ignore(void*, CANBus, unsigned int, FrameType, const unsigned char*, unsigned char) {}

// The rule, row by row.
std::vector<std::uint32_t> Reference(const std::vector<CANReceiveRow>& rows, std::uint32_t identifier,
                                     std::uint8_t extended) {
    std::vector<std::uint32_t> matched;
    for (const CANReceiveRow& row : rows) {
        const std::uint8_t wanted = row.Type == FrameType(1) ? 1 : 0;
        if (row.Callback != nullptr && extended == wanted && ((identifier ^ row.Identifier) & row.Mask) == 0) {
            matched.push_back(row.Identifier);
        }
    }
    return matched;
}

std::vector<std::uint32_t> Indexed(const CANReceiveIndex& index, std::uint32_t identifier, std::uint8_t extended) {
    std::vector<std::uint32_t> matched;
    const bool any = index.ForEachMatch(identifier, extended, [&](const CANReceiveRow& row) {
        matched.push_back(row.Identifier);
        return true;
    });
    EXPECT_EQ(any, !matched.empty());
    return matched;
}

// Rows with ascending unique identifiers from a small space, so that many
// frames match several rows; masks drawn from `masks`.
std::vector<CANReceiveRow> RandomRows(std::mt19937& random, const std::vector<std::uint32_t>& masks) {
    std::vector<CANReceiveRow> rows;
    for (std::uint32_t identifier = 0; identifier < 256; ++identifier) {
        if (random() % 3 != 0) continue;
        const FrameType type = FrameType(std::vector<int>{0, 1, 7}[random() % 3]);
        const auto callback = random() % 8 == 0 ? nullptr : &Ignore;
        rows.push_back(CANReceiveRow{identifier, masks[random() % masks.size()], type, callback, nullptr});
    }
    return rows;
}

void CompareWithTheRule(const std::vector<std::uint32_t>& masks, bool scans) {
    std::mt19937 random(1234);
    for (int table = 0; table < 20; ++table) {
        const auto rows = RandomRows(random, masks);
        CANReceiveIndex index;
        index.Build(rows);
        ASSERT_EQ(index.Scans(), scans);
        // Identifiers above the rows' range differ from them in unmasked bits.
        for (std::uint32_t identifier = 0; identifier < 512; ++identifier) {
            for (std::uint8_t extended = 0; extended <= 2; ++extended) {
                ASSERT_EQ(Indexed(index, identifier, extended), Reference(rows, identifier, extended))
                    << "table " << table << " identifier " << identifier << " format " << int{extended};
            }
        }
    }
}

TEST(CANReceiveIndex, AFewMasksAreLookedUpLikeTheRule) {
    CompareWithTheRule({0xFF, 0xF0, 0x0F, 0, 0x81}, false);
}

TEST(CANReceiveIndex, ManyMasksAreScannedLikeTheRule) {
    std::vector<std::uint32_t> masks;
    for (std::uint32_t mask = 0; mask < 40; ++mask) masks.push_back(mask * 7);
    CompareWithTheRule(masks, true);
}

// Large groups: same answers, including identifiers that no row takes.
TEST(CANReceiveIndex, LargeGroupsAreLookedUpLikeTheRule) {
    std::mt19937 random(99);
    std::vector<CANReceiveRow> rows;
    for (std::uint32_t identifier = 0; identifier < 3000; ++identifier) {
        if (random() % 2 != 0) continue;
        const FrameType type = FrameType(random() % 2);
        const std::uint32_t mask = random() % 10 == 0 ? 0x7F0 : 0x1FFFFFFF;
        rows.push_back(CANReceiveRow{identifier, mask, type, &Ignore, nullptr});
    }
    CANReceiveIndex index;
    index.Build(rows);
    ASSERT_FALSE(index.Scans());
    for (std::uint32_t identifier = 0; identifier < 4200; ++identifier) {
        for (std::uint8_t extended = 0; extended <= 1; ++extended) {
            ASSERT_EQ(Indexed(index, identifier, extended), Reference(rows, identifier, extended))
                << "identifier " << identifier << " format " << int{extended};
        }
    }
}

TEST(CANReceiveIndex, AVisitCanEndTheWalk) {
    const std::vector<CANReceiveRow> rows{{1, 0, FrameType(0), &Ignore, nullptr},
                                          {2, 0xFF, FrameType(0), &Ignore, nullptr},
                                          {3, 0, FrameType(0), &Ignore, nullptr}};
    CANReceiveIndex index;
    index.Build(rows);
    std::vector<std::uint32_t> seen;
    EXPECT_TRUE(index.ForEachMatch(2, 0, [&](const CANReceiveRow& row) {
        seen.push_back(row.Identifier);
        return seen.size() < 2;
    }));
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{1, 2}));
}

}  // namespace
