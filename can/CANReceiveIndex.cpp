#include "can/CANReceiveIndex.h"

namespace CustomApplication {
namespace Internal {

void CANReceiveIndex::Hash(Group& group) {
    std::size_t keys = 0;
    for (std::size_t i = 0; i < group.entries.size(); ++i) {
        if (i == 0 || group.entries[i].key != group.entries[i - 1].key) ++keys;
    }
    if (keys < kMinHashedKeys) return;
    // At most half full, so probes stay short and always end at an empty slot.
    std::size_t size = 1;
    unsigned bits = 0;
    while (size < 2 * keys) {
        size *= 2;
        ++bits;
    }
    group.slots.assign(size, Slot{0, 0, 0});
    group.shift = 64 - bits;
    for (std::size_t i = 0; i < group.entries.size();) {
        std::size_t j = i + 1;
        while (j < group.entries.size() && group.entries[j].key == group.entries[i].key) ++j;
        std::size_t at = Home(group.entries[i].key, group.shift);
        while (group.slots[at].end != 0) at = (at + 1) & (size - 1);
        group.slots[at] = Slot{group.entries[i].key, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)};
        i = j;
    }
}

void CANReceiveIndex::Build(const std::vector<CANReceiveRow>& rows) {
    rows_.clear();
    groups_.clear();
    scan_ = false;
    std::vector<CANReceiveRow> kept;
    kept.reserve(rows.size());
    std::vector<std::uint32_t> masks;
    for (const CANReceiveRow& row : rows) {
        if (row.Callback == nullptr) continue;
        kept.push_back(row);
        // Counting stops one past the limit: beyond it the rows are scanned.
        if (std::find(masks.begin(), masks.end(), row.Mask) == masks.end() &&
            masks.size() <= kMaxMaskGroups) {
            masks.push_back(row.Mask);
        }
    }
    std::vector<Group> groups;
    if (masks.size() <= kMaxMaskGroups) {
        groups.resize(masks.size());
        for (std::size_t g = 0; g < masks.size(); ++g) groups[g].mask = masks[g];
        for (std::uint32_t index = 0; index < kept.size(); ++index) {
            const CANReceiveRow& row = kept[index];
            Group& group = *std::find_if(groups.begin(), groups.end(),
                                         [&](const Group& candidate) { return candidate.mask == row.Mask; });
            group.entries.push_back(Entry{Key(FormatOf(row.Type), row.Identifier & row.Mask), index});
        }
        for (Group& group : groups) {
            std::sort(group.entries.begin(), group.entries.end(), [](const Entry& a, const Entry& b) {
                return a.key != b.key ? a.key < b.key : a.row < b.row;
            });
            Hash(group);
        }
    }
    rows_.swap(kept);
    groups_.swap(groups);
    scan_ = masks.size() > kMaxMaskGroups;
}

}  // namespace Internal
}  // namespace CustomApplication
