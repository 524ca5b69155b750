#include "app/discovery/pcr_entry.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "app/intake/utf8.h"
#include "platform/control_characters.h"

namespace vsc {
namespace {

// What a studio announces is shown, logged and printed: valid UTF-8 without
// control characters, so that it cannot start a line of its own.
std::string announcedText(std::string_view bytes) {
    return replaceControlCharacters(utf8Lossy(bytes));
}

}  // namespace

std::int64_t parsePort(std::string_view text, std::int64_t fallback) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
        digits.remove_prefix(1);
    if (digits.empty()) return fallback;
    for (char c : digits)
        if (c < '0' || c > '9') return fallback;
    std::string copy(text);
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(copy.c_str(), &end, 10);
    if (errno == ERANGE || end != copy.c_str() + copy.size()) return fallback;
    // A port nothing can listen on would only reach ffprobe as a bad address.
    if (value < 1 || value > 65535) return fallback;
    return value;
}

std::map<std::string, std::string> parseTxtRecord(const std::vector<std::string>& strings) {
    std::map<std::string, std::string> map;
    for (const auto& item : strings) {
        auto equals = item.find('=');
        std::string key = item.substr(0, equals);
        if (key.empty()) continue;
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
        });
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        map.emplace(announcedText(key), announcedText(value));  // emplace keeps the first
    }
    return map;
}

PcrEntry makePcrEntry(const BrowseResult& result, std::optional<std::string> host) {
    auto txt = parseTxtRecord(result.txt);
    auto text = [&](const char* key) {
        auto it = txt.find(key);
        return it == txt.end() ? std::string() : it->second;
    };
    PcrEntry entry;
    entry.serviceName = announcedText(result.endpoint.name);
    entry.name = text("name");
    entry.code = text("code");
    entry.serverId = text("sid");
    entry.stage = text("stage");
    entry.rtspPort = parsePort(text("rtsp"), 8554);
    entry.apiPort = parsePort(text("api"), 5700);
    entry.host = std::move(host);
    entry.endpoint = result.endpoint;
    return entry;
}

namespace {

std::string composed(const std::string& text) {
    std::string valid = utf8Lossy(text);
    gchar* normal =
        g_utf8_normalize(valid.data(), static_cast<gssize>(valid.size()), G_NORMALIZE_NFC);
    if (!normal) return valid;
    std::string result = normal;
    g_free(normal);
    return result;
}

}  // namespace

void sortByDisplayName(std::vector<PcrEntry>& entries) {
    // UTF-8 bytes compared as unsigned values order like their scalar values.
    std::vector<std::pair<std::string, PcrEntry>> keyed;
    keyed.reserve(entries.size());
    for (auto& e : entries) keyed.emplace_back(composed(e.displayName()), std::move(e));
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    entries.clear();
    for (auto& [key, e] : keyed) entries.push_back(std::move(e));
}

std::string hostWithoutScope(const std::string& text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t cut = text.find('%', start);
        std::size_t end = cut == std::string::npos ? text.size() : cut;
        if (end > start) return text.substr(start, end - start);
        if (cut == std::string::npos) break;
        start = cut + 1;
    }
    return text;
}

}  // namespace vsc
