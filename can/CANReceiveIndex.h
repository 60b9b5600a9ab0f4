// Thread rule: built once, before the interface that owns it is published;
// read-only afterwards, so any number of threads may look up at once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include <customapp/CANTypes.h>

namespace CustomApplication {
namespace Internal {

// One receive row: a copy of the application's row.
struct CANReceiveRow {
    std::uint32_t Identifier;
    std::uint32_t Mask;
    CANTypes::FrameType Type;
    CANTypes::CANReceiveCallback Callback;
    void* Context;
};

// A receive table arranged for matching received frames. A row matches a
// frame when the frame's format is the row's (Type 1: extended frames; any
// other Type: standard frames) and the identifiers agree in every bit of the
// row's mask. Rows without a callback never match.
//
// Rows sharing a mask form a group that maps (format, masked identifier) to
// its rows, so a frame costs one hash lookup per distinct mask and the cost
// per frame hardly grows with the table. With more distinct masks than
// kMaxMaskGroups the rows are scanned in order instead.
class CANReceiveIndex {
public:
    static constexpr std::size_t kMaxMaskGroups = 8;

    // `rows` in ascending identifier order, identifiers unique. May throw
    // std::bad_alloc, leaving the index empty.
    void Build(const std::vector<CANReceiveRow>& rows);

    // Calls `visit(row)` for every matching row, in ascending identifier
    // order, until `visit` returns false. `extended` is the frame record's
    // format byte: 1 extended, 0 standard, anything else matches no row.
    // Returns true if any row matched. Allocates nothing.
    template <typename Visit>
    bool ForEachMatch(std::uint32_t identifier, std::uint8_t extended, Visit&& visit) const;

    bool Scans() const { return scan_; }
    std::size_t Size() const { return rows_.size(); }

private:
    struct Group {
        std::uint32_t mask;
        // Key: format in bit 32, masked identifier below. Value: indices into
        // rows_, ascending, so in identifier order.
        std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> rows;
    };

    static std::uint8_t FormatOf(CANTypes::FrameType type) { return type == CANTypes::Extended ? 1 : 0; }
    static std::uint64_t Key(std::uint8_t format, std::uint32_t maskedIdentifier) {
        return (std::uint64_t{format} << 32) | maskedIdentifier;
    }

    std::vector<CANReceiveRow> rows_;  // rows with a callback, ascending identifier
    std::vector<Group> groups_;        // unused when scanning
    bool scan_ = false;
};

template <typename Visit>
bool CANReceiveIndex::ForEachMatch(std::uint32_t identifier, std::uint8_t extended, Visit&& visit) const {
    if (extended > 1) return false;
    bool matched = false;
    if (scan_) {
        for (const CANReceiveRow& row : rows_) {
            if (FormatOf(row.Type) != extended || ((identifier ^ row.Identifier) & row.Mask) != 0) continue;
            matched = true;
            if (!visit(row)) break;
        }
        return matched;
    }
    // One run of matching rows per group, merged by row order.
    const std::uint32_t* cursor[kMaxMaskGroups];
    const std::uint32_t* end[kMaxMaskGroups];
    std::size_t runs = 0;
    for (const Group& group : groups_) {
        const auto found = group.rows.find(Key(extended, identifier & group.mask));
        if (found == group.rows.end()) continue;
        cursor[runs] = found->second.data();
        end[runs] = cursor[runs] + found->second.size();
        ++runs;
    }
    while (runs > 0) {
        std::size_t first = 0;
        for (std::size_t run = 1; run < runs; ++run) {
            if (*cursor[run] < *cursor[first]) first = run;
        }
        matched = true;
        if (!visit(rows_[*cursor[first]])) break;
        if (++cursor[first] == end[first]) {
            --runs;
            cursor[first] = cursor[runs];
            end[first] = end[runs];
        }
    }
    return matched;
}

}  // namespace Internal
}  // namespace CustomApplication
