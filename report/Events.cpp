#include "Events.h"

#include <nlohmann/json.hpp>

namespace gatewaysim {
namespace report {

EventList ReadEvents(std::istream& in) {
    EventList list;
    std::string line;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
        if (!value.is_object() || !value.contains("timeUs") ||
            !value["timeUs"].is_number_integer() || !value.contains("kind") ||
            !value["kind"].is_string()) {
            ++list.unreadable;
            continue;
        }
        Event event;
        event.timeUs = value["timeUs"].get<std::int64_t>();
        event.kind = value["kind"].get<std::string>();
        if (value.contains("detail") && value["detail"].is_string())
            event.detail = value["detail"].get<std::string>();
        if (value.contains("verdict") && value["verdict"].is_string())
            event.verdict = value["verdict"].get<std::string>();
        if (value.contains("refused") && value["refused"].is_number_unsigned())
            event.refused = value["refused"].get<std::uint64_t>();
        list.events.push_back(std::move(event));
    }
    return list;
}

std::string FormatEvent(const Event& event) {
    nlohmann::json value = {{"timeUs", event.timeUs}, {"kind", event.kind}};
    if (!event.detail.empty()) value["detail"] = event.detail;
    if (!event.verdict.empty()) value["verdict"] = event.verdict;
    if (event.refused != 0) value["refused"] = event.refused;
    // Text that is not UTF-8 is replaced rather than refused.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace report
}  // namespace gatewaysim
