#include "app/intake/utf8.h"

#include <cstdint>

namespace vsc {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of s, or 0 if it is invalid.
std::size_t validSequenceLength(std::string_view s) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    auto continuation = [&](std::size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
    std::uint8_t b0 = byte(0);
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return continuation(1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (!continuation(1) || !continuation(2)) return 0;
        std::uint8_t b1 = byte(1);
        if (b0 == 0xE0 && b1 < 0xA0) return 0;   // overlong
        if (b0 == 0xED && b1 >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
        std::uint8_t b1 = byte(1);
        if (b0 == 0xF0 && b1 < 0x90) return 0;   // overlong
        if (b0 == 0xF4 && b1 >= 0x90) return 0;  // beyond U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

std::string utf8Lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t n = validSequenceLength(bytes);
        if (n == 0) {
            out += kReplacement;
            bytes.remove_prefix(1);
        } else {
            out.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
        }
    }
    return out;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string current;
    auto flush = [&] {
        if (!current.empty()) lines.push_back(std::move(current));
        current.clear();
    };
    for (std::size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '\n' || c == '\v' || c == '\f' || c == '\r') {
            flush();
            ++i;
        } else if (text.substr(i, 2) == "\xC2\x85") {  // NEL
            flush();
            i += 2;
        } else if (text.substr(i, 3) == "\xE2\x80\xA8" || text.substr(i, 3) == "\xE2\x80\xA9") {
            flush();  // LS, PS
            i += 3;
        } else {
            current += c;
            ++i;
        }
    }
    flush();
    return lines;
}

}  // namespace vsc
