#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vsc {

// Decodes bytes as UTF-8, replacing invalid bytes (and NUL, which would cut
// the text short wherever it is handed on as a C string) with U+FFFD.
std::string utf8Lossy(std::string_view bytes);

// Splits text at every line break (LF, VT, FF, CR, NEL, LS, PS), dropping
// empty pieces.
std::vector<std::string> splitLines(std::string_view text);

}  // namespace vsc
