#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vsc {

// Decodes bytes as UTF-8, replacing every invalid sequence with U+FFFD.
std::string utf8Lossy(std::string_view bytes);

// Splits text at every line break (LF, VT, FF, CR, NEL, LS, PS), dropping
// empty pieces.
std::vector<std::string> splitLines(std::string_view text);

}  // namespace vsc
