#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vsc {

// Decodes bytes as UTF-8, replacing invalid bytes (and NUL, which would cut
// the text short wherever it is handed on as a C string) with U+FFFD.
std::string utf8Lossy(std::string_view bytes);

// Collects bytes as they come and hands out each complete line (the bytes
// before a line feed), decoded as UTF-8 with invalid sequences replaced.
// Empty lines are not handed out, nor is what is left without a line feed.
// A line never grows beyond kLongestLine bytes: a longer one is handed out in
// pieces of that length, so a peer that never ends its line cannot make it
// grow without bound.
class LineAssembler {
  public:
    static constexpr std::size_t kLongestLine = 64 * 1024;
    void append(std::string_view bytes, const std::function<void(const std::string&)>& line);

  private:
    std::string pending_;
};

// Splits text at every line break (LF, VT, FF, CR, NEL, LS, PS), dropping
// empty pieces.
std::vector<std::string> splitLines(std::string_view text);

}  // namespace vsc
