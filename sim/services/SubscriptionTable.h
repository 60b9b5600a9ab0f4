// Thread rule: called on the simulator's worker thread only, like the
// services that own the tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace gatewaysim {

// How many subscriptions one application may hold in one service.
constexpr std::size_t kMaxSubscriptionsPerApplication = 4096;

// Adds `subscription` for `source` (subscribe) or withdraws the first equal
// one (`same`). Returns null, or the reason the request is refused.
template <typename Subscription, typename Same>
const char* UpdateSubscriptions(std::map<std::int32_t, std::vector<Subscription>>& table, std::int32_t source,
                                const Subscription& subscription, bool subscribe, Same same) {
    auto& list = table[source];
    if (subscribe) {
        if (list.size() >= kMaxSubscriptionsPerApplication) return "too many subscriptions";
        list.push_back(subscription);
        return nullptr;
    }
    const char* refusal = "no such subscription";
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (same(*it, subscription)) {
            list.erase(it);
            refusal = nullptr;
            break;
        }
    }
    if (list.empty()) table.erase(source);
    return refusal;
}

}  // namespace gatewaysim
