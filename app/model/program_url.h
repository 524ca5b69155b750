#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vsc {

// The parts of an absolute URL that the programme rules look at.
struct ParsedUrl {
    std::string scheme;  // as written (libcurl reports it in lower case)
    std::string host;    // never empty
    std::string path;    // as written, dot segments kept
    std::string lastPathComponent() const;
};

// Parses text as an absolute URL with a host, "scheme://host[:port]/path…",
// by libcurl's rules: absent when it is not one, for example when it holds a
// space, a control character or a line break, has a port that is not a number,
// or an IPv6 host without its brackets.
std::optional<ParsedUrl> parseUrl(std::string_view text);

// rtsp (exactly, lower case) with a host and a last path component that starts
// with "STAGE_" and has something after it. The port is not examined.
bool isCompleteProgramURL(std::string_view text);

// Removes spaces and tabs (not line breaks) from both ends.
std::string trimSpacesAndTabs(std::string_view text);

}  // namespace vsc
