#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vsc {

// One path of the studio's media server, as its path list gives it.
struct PathItem {
    std::string name;
    bool ready = false;
};

// The path list: an object whose "items" is an array of objects each with a
// string "name" and a Boolean "ready" (other keys ignored). None when the
// body has another shape or is not JSON.
std::optional<std::vector<PathItem>> decodePathList(std::string_view body);

// The paths that can be the programme, in document order: ready, named
// STAGE_…, and not a _LOW or _preview variant; names with control characters
// or longer than 255 bytes are never candidates.
std::vector<std::string> programCandidates(const std::vector<PathItem>& items);

// What a detection against `host` concludes from a body (none: the request failed).
struct DetectionResult {
    std::string status;
    std::optional<std::string> url;  // set when a programme was found
};
DetectionResult concludeDetection(const std::string& host, const std::optional<std::string>& body);

}  // namespace vsc
