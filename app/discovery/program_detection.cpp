#include "app/discovery/program_detection.h"

#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "app/discovery/pcr_entry.h"
#include "platform/control_characters.h"

namespace vsc {
namespace {

constexpr std::size_t kLongestPathName = 255;  // bytes

}  // namespace

std::optional<std::vector<PathItem>> decodePathList(std::string_view body) {
    nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    auto items = document.find("items");
    if (items == document.end() || !items->is_array()) return std::nullopt;
    std::vector<PathItem> paths;
    for (const auto& item : *items) {
        if (!item.is_object()) return std::nullopt;
        auto name = item.find("name");
        auto ready = item.find("ready");
        if (name == item.end() || !name->is_string() || ready == item.end() || !ready->is_boolean())
            return std::nullopt;
        paths.push_back({name->get<std::string>(), ready->get<bool>()});
    }
    return paths;
}

std::vector<std::string> programCandidates(const std::vector<PathItem>& items) {
    auto endsWith = [](const std::string& s, std::string_view tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
    std::vector<std::string> names;
    for (const auto& item : items) {
        if (!item.ready || item.name.rfind("STAGE_", 0) != 0) continue;
        // The name becomes the stored address and the status: a name that
        // could break a line or cut a C string short, or that is longer than
        // any path name, is no programme.
        if (item.name.size() > kLongestPathName || hasControlCharacters(item.name)) continue;
        if (endsWith(item.name, "_LOW") || endsWith(item.name, "_preview")) continue;
        names.push_back(item.name);
    }
    return names;
}

DetectionResult concludeDetection(const std::string& host, const std::optional<std::string>& body) {
    std::optional<std::vector<PathItem>> items;
    if (body) items = decodePathList(*body);
    if (!items)
        return {"MediaMTX API unreachable on " + host + ":9997 — enter the URL manually",
                std::nullopt};
    auto names = programCandidates(*items);
    if (names.empty()) return {"No program published on " + host, std::nullopt};
    std::string status = names.size() == 1 ? "Found " + names[0]
                                           : "Found " + std::to_string(names.size()) +
                                                 " programs — using " + names[0];
    return {status, "rtsp://" + host + ":8554/" + names[0]};
}

}  // namespace vsc
