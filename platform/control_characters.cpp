#include "platform/control_characters.h"

namespace vsc {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the control character at the start of text, 0 when there is none.
std::size_t controlLength(std::string_view text) {
    auto byte = static_cast<unsigned char>(text[0]);
    if (byte < 0x20 || byte == 0x7F) return 1;
    if (byte == 0xC2 && text.size() > 1) {
        auto next = static_cast<unsigned char>(text[1]);
        if (next >= 0x80 && next <= 0x9F) return 2;  // U+0080 to U+009F
    }
    return 0;
}

}  // namespace

std::string replaceControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        if (std::size_t n = controlLength(text)) {
            out += kReplacement;
            text.remove_prefix(n);
        } else {
            out += text.front();
            text.remove_prefix(1);
        }
    }
    return out;
}

bool hasControlCharacters(std::string_view text) {
    for (; !text.empty(); text.remove_prefix(1))
        if (controlLength(text)) return true;
    return false;
}

}  // namespace vsc
