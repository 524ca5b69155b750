#include "app/model/program_url.h"

#include <cctype>

namespace vsc {
namespace {

bool allowedInUrl(unsigned char c) {
    if (c <= 0x20 || c >= 0x7F) return false;
    switch (c) {
        case '"':
        case '<':
        case '>':
        case '\\':
        case '^':
        case '`':
        case '{':
        case '|':
        case '}':
            return false;
        default:
            return true;
    }
}

bool validPercentEscapes(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') continue;
        if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
            return false;
    }
    return true;
}

}  // namespace

std::string ParsedUrl::lastPathComponent() const {
    std::string_view p = path;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);  // "a/b/" names b
    auto slash = p.rfind('/');
    if (slash == std::string_view::npos) return std::string(p);
    if (p.size() == 1) return "/";
    return std::string(p.substr(slash + 1));
}

std::optional<ParsedUrl> parseUrl(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (unsigned char c : text) {
        if (!allowedInUrl(c) && c != '#') return std::nullopt;
    }
    if (!validPercentEscapes(text)) return std::nullopt;

    ParsedUrl url;
    auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    for (std::size_t i = 0; i < colon; ++i) {
        char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return std::nullopt;
    }
    url.scheme = std::string(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        if (rest.substr(hash + 1).find('#') != std::string_view::npos) return std::nullopt;
        rest = rest.substr(0, hash);
    }
    if (auto query = rest.find('?'); query != std::string_view::npos) rest = rest.substr(0, query);

    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        auto end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (auto at = authority.rfind('@'); at != std::string_view::npos)
            authority = authority.substr(at + 1);
        std::string_view host = authority;
        if (!authority.empty() && authority.front() == '[') {
            auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            host = authority.substr(0, close + 1);
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                url.port = std::string(after.substr(1));
            }
        } else if (auto portColon = authority.rfind(':'); portColon != std::string_view::npos) {
            host = authority.substr(0, portColon);
            url.port = std::string(authority.substr(portColon + 1));
        }
        if (url.port) {
            for (char c : *url.port) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
            }
        }
        if (!host.empty()) url.host = std::string(host);
    }
    url.path = std::string(rest);
    return url;
}

bool isCompleteProgramURL(std::string_view text) {
    auto url = parseUrl(text);
    if (!url || url->scheme != "rtsp" || !url->host) return false;
    std::string last = url->lastPathComponent();
    return last.size() > 6 && last.compare(0, 6, "STAGE_") == 0;
}

std::string trimSpacesAndTabs(std::string_view text) {
    auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace vsc
