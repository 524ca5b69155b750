#pragma once

#include <string>
#include <string_view>

namespace vsc {

// Text from the network on its way to a log, a terminal or the settings:
// every control character (C0 with TAB, LF, CR, ESC and NUL; DEL; C1 from
// U+0080 to U+009F) becomes U+FFFD, so that it can neither break a line, nor
// reach a terminal as a command, nor cut a C string short. Expects UTF-8;
// bytes that are not UTF-8 are left to the UTF-8 repair.
std::string replaceControlCharacters(std::string_view text);

// Whether replaceControlCharacters would change anything.
bool hasControlCharacters(std::string_view text);

}  // namespace vsc
