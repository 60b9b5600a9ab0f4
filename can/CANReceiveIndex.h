// Thread rule: built once, before the interface that owns it is published;
// read-only afterwards, so any number of threads may look up at once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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
// Rows sharing a mask form a group, sorted by (format, masked identifier), so
// a frame costs one lookup per distinct mask: a binary search in a small
// group, a hash probe in a large one, so that the cost per frame hardly grows
// with the table. With more distinct masks than kMaxMaskGroups the rows are
// scanned in order instead.
class CANReceiveIndex {
public:
    static constexpr std::size_t kMaxMaskGroups = 8;
    // Groups with at least this many distinct keys get a hash table.
    static constexpr std::size_t kMinHashedKeys = 16;
    // Groups of at most this many entries are walked instead of searched.
    static constexpr std::size_t kMaxScannedEntries = 4;

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
    struct Entry {
        std::uint64_t key;  // format in bit 32, masked identifier below
        std::uint32_t row;  // index into rows_, so ascending by identifier
    };
    // One distinct key of a hashed group: its run of entries.
    struct Slot {
        std::uint64_t key;
        std::uint32_t begin;  // entries [begin, end); end == 0: empty slot
        std::uint32_t end;
    };
    struct Group {
        std::uint32_t mask;
        std::vector<Entry> entries;  // sorted by (key, row)
        std::vector<Slot> slots;     // open addressing, a power of two in size; empty: not hashed
        unsigned shift = 0;          // 64 minus log2(slots.size())
    };
    static std::size_t Home(std::uint64_t key, unsigned shift) {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift);
    }
    static void Hash(Group& group);
    struct KeyLess {
        bool operator()(const Entry& entry, std::uint64_t key) const { return entry.key < key; }
        bool operator()(std::uint64_t key, const Entry& entry) const { return key < entry.key; }
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
    // One run of matching entries per group, merged by row order.
    const Entry* cursor[kMaxMaskGroups];
    const Entry* end[kMaxMaskGroups];
    std::size_t runs = 0;
    for (const Group& group : groups_) {
        const std::uint64_t key = Key(extended, identifier & group.mask);
        if (!group.slots.empty()) {
            const std::size_t last = group.slots.size() - 1;
            for (std::size_t at = Home(key, group.shift);; at = (at + 1) & last) {
                const Slot& slot = group.slots[at];
                if (slot.end == 0) break;
                if (slot.key == key) {
                    cursor[runs] = group.entries.data() + slot.begin;
                    end[runs] = group.entries.data() + slot.end;
                    ++runs;
                    break;
                }
            }
            continue;
        }
        const Entry* const first = group.entries.data();
        const Entry* const last = first + group.entries.size();
        const Entry* from;
        const Entry* to;
        if (group.entries.size() <= kMaxScannedEntries) {
            // A few entries: a straight walk beats the search.
            from = first;
            while (from != last && from->key < key) ++from;
            to = from;
            while (to != last && to->key == key) ++to;
        } else {
            const auto range = std::equal_range(first, last, key, KeyLess{});
            from = range.first;
            to = range.second;
        }
        if (from == to) continue;
        cursor[runs] = from;
        end[runs] = to;
        ++runs;
    }
    while (runs > 0) {
        std::size_t first = 0;
        for (std::size_t run = 1; run < runs; ++run) {
            if (cursor[run]->row < cursor[first]->row) first = run;
        }
        matched = true;
        if (!visit(rows_[cursor[first]->row])) break;
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
