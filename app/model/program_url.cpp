#include "app/model/program_url.h"

#include <curl/curl.h>

#include <memory>

#include "platform/control_characters.h"

namespace vsc {
namespace {

struct UrlHandleFree {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct CurlStringFree {
    void operator()(char* text) const { curl_free(text); }
};

std::optional<std::string> urlPart(CURLU* url, CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || !raw) return std::nullopt;
    std::unique_ptr<char, CurlStringFree> part(raw);
    return std::string(part.get());
}

// libcurl lets the line separators U+2028 and U+2029 through (it takes them
// for ordinary UTF-8); they break a line all the same.
bool hasLineSeparator(std::string_view text) {
    return text.find("\xE2\x80\xA8") != std::string_view::npos ||
           text.find("\xE2\x80\xA9") != std::string_view::npos;
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
    // libcurl reads a C string and takes the C1 controls for ordinary UTF-8.
    if (hasControlCharacters(text) || hasLineSeparator(text)) return std::nullopt;
    // libcurl also reads "scheme:/host" and "scheme:///host" as having a host;
    // a URL names its host right after "//".
    auto separator = text.find("://");
    if (separator == std::string_view::npos || text.substr(separator + 3, 1) == "/")
        return std::nullopt;

    std::unique_ptr<CURLU, UrlHandleFree> url(curl_url());
    if (!url) return std::nullopt;
    const std::string copy(text);
    if (curl_url_set(url.get(), CURLUPART_URL, copy.c_str(),
                     CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK)
        return std::nullopt;
    auto scheme = urlPart(url.get(), CURLUPART_SCHEME);
    auto host = urlPart(url.get(), CURLUPART_HOST);
    auto path = urlPart(url.get(), CURLUPART_PATH);
    if (!scheme || scheme->size() != separator || !host || host->empty() || !path)
        return std::nullopt;
    return ParsedUrl{std::string(text.substr(0, separator)), std::move(*host), std::move(*path)};
}

bool isCompleteProgramURL(std::string_view text) {
    auto url = parseUrl(text);
    if (!url || url->scheme != "rtsp") return false;
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
