#include "can/CANReceiveIndex.h"

namespace CustomApplication {
namespace Internal {

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
            group.rows[Key(FormatOf(row.Type), row.Identifier & row.Mask)].push_back(index);
        }
    }
    rows_.swap(kept);
    groups_.swap(groups);
    scan_ = masks.size() > kMaxMaskGroups;
}

}  // namespace Internal
}  // namespace CustomApplication
