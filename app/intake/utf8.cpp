#include "app/intake/utf8.h"

#include <glib.h>

#include <algorithm>

namespace vsc {

std::string utf8Lossy(std::string_view bytes) {
    if (bytes.empty()) return {};
    gchar* valid = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
    std::string result(valid);
    g_free(valid);
    return result;
}

void LineAssembler::append(std::string_view bytes,
                           const std::function<void(const std::string&)>& line) {
    pending_.append(bytes);
    std::size_t start = 0;
    for (;;) {
        std::size_t newline = pending_.find('\n', start);
        std::size_t end = newline == std::string::npos ? pending_.size() : newline;
        if (newline == std::string::npos && end - start < kLongestLine) break;
        end = std::min(end, start + kLongestLine);
        std::string text = utf8Lossy(std::string_view(pending_).substr(start, end - start));
        if (!text.empty()) line(text);
        start = end == newline ? end + 1 : end;
    }
    pending_.erase(0, start);
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
