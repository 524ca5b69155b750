#include "app/discovery/pcr_browser.h"

namespace vsc {

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

}  // namespace vsc
