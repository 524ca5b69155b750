#include "app/discovery/pcr_browser.h"

#include <glib.h>

#include <algorithm>

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

PcrBrowser::PcrBrowser() : PcrBrowser(makeAvahiBrowser(kServiceType, kQueueLabel)) {}

PcrBrowser::PcrBrowser(std::unique_ptr<DnsSdBrowser> browser) : browser_(std::move(browser)) {}

PcrBrowser::~PcrBrowser() {
    // Stops the browser's thread before the state its callbacks use goes.
    browser_.reset();
}

void PcrBrowser::start() {
    DnsSdBrowser::Handlers handlers;
    handlers.results = [this](std::vector<BrowseResult> results) {
        resultsChanged(std::move(results));
    };
    handlers.failed = [this](const std::string& error) {
        if (onLog) onLog("PCR browser failed: " + error);
    };
    browser_->start(std::move(handlers));
}

void PcrBrowser::resultsChanged(std::vector<BrowseResult> results) {
    results_ = std::move(results);
    publish();
}

void PcrBrowser::publish() {
    std::vector<PcrEntry> entries;
    entries.reserve(results_.size());
    for (const auto& result : results_) {
        auto known = hosts_.find(result.endpoint.name);
        entries.push_back(makePcrEntry(
            result, known == hosts_.end() ? std::nullopt : std::optional(known->second)));
    }
    for (const auto& entry : entries)
        if (!entry.host) resolve(entry);
    if (!onUpdate) return;
    sortByDisplayName(entries);
    onUpdate(std::move(entries));
}

void PcrBrowser::resolve(const PcrEntry& entry) {
    if (resolving_.count(entry.endpoint.name)) return;
    std::uint64_t id = ++nextConnection_;
    auto connection = browser_->connect(
        entry.endpoint,
        [this, entry, id](const ConnectionEvent& event) { connectionChanged(entry, id, event); });
    resolving_[entry.endpoint.name] = InFlight{id, std::move(connection)};
}

void PcrBrowser::connectionChanged(const PcrEntry& entry, std::uint64_t id,
                                   const ConnectionEvent& event) {
    auto it = resolving_.find(entry.endpoint.name);
    if (it == resolving_.end() || it->second.id != id) return;  // an old connection
    std::shared_ptr<ResolvingConnection> connection = std::move(it->second.connection);
    resolving_.erase(it);
    if (connection) connection->cancel();
    if (event.kind == ConnectionEvent::Kind::Failed) {
        if (onLog) onLog("PCR « " + entry.displayName() + " » resolution failed: " + event.error);
        return;  // the next change of the results tries again
    }
    if (event.remoteHost) {
        std::string host = hostWithoutScope(*event.remoteHost);
        hosts_[entry.endpoint.name] = host;
        if (onLog) onLog("PCR « " + entry.displayName() + " » resolved at " + host);
    }
    publish();
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
