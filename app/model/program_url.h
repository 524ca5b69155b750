#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vsc {

// The parts of an absolute URL that the programme rules look at.
struct ParsedUrl {
    std::string scheme;
    std::optional<std::string> host;  // absent when the URL has no authority or an empty host
    std::optional<std::string> port;
    std::string path;
    std::string lastPathComponent() const;
};

// Parses text as an absolute URL (scheme ":" ["//" authority] path ["?" query]
// ["#" fragment]); absent when it is not one, for example when it holds a space
// or a character that must be escaped, or a port that is not a number.
std::optional<ParsedUrl> parseUrl(std::string_view text);

// rtsp (exactly, lower case) with a host and a last path component that starts
// with "STAGE_" and has something after it. The port is not examined.
bool isCompleteProgramURL(std::string_view text);

// Removes spaces and tabs (not line breaks) from both ends.
std::string trimSpacesAndTabs(std::string_view text);

}  // namespace vsc
