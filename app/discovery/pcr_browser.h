#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/discovery/pcr_entry.h"
#include "platform/dns_sd.h"

namespace vsc {

// Watches the network for studio control rooms announcing "_vsc-pcr._tcp",
// learns each one's address with a short connection to it, and reports the
// sorted list after every change. Created once and never stopped.
//
// Every callback (the browser's, the connections', onUpdate and onLog) runs on
// the browser's thread; the application sets onUpdate and onLog before start().
class PcrBrowser {
  public:
    static constexpr const char* kServiceType = "_vsc-pcr._tcp";
    static constexpr const char* kQueueLabel = "vsc.virtualcam.pcr-browser";

    // Over avahi-daemon.
    PcrBrowser();
    explicit PcrBrowser(std::unique_ptr<DnsSdBrowser> browser);
    ~PcrBrowser();
    PcrBrowser(const PcrBrowser&) = delete;
    PcrBrowser& operator=(const PcrBrowser&) = delete;

    std::function<void(std::vector<PcrEntry>)> onUpdate;
    std::function<void(const std::string&)> onLog;

    void start();

  private:
    void resultsChanged(std::vector<BrowseResult> results);
    void publish();
    void resolve(const PcrEntry& entry);
    void connectionChanged(const PcrEntry& entry, std::uint64_t id, const ConnectionEvent& event);

    struct InFlight {
        std::uint64_t id = 0;
        std::shared_ptr<ResolvingConnection> connection;
    };

    std::unique_ptr<DnsSdBrowser> browser_;
    std::vector<BrowseResult> results_;
    std::map<std::string, InFlight> resolving_;
    std::map<std::string, std::string> hosts_;
    std::uint64_t nextConnection_ = 0;
};

// A TXT record's strings as a map: "key=value", or "key" alone for an empty
// value. Keys are compared without regard to ASCII case (stored in lower
// case), the first occurrence of a key wins, strings with an empty key are
// skipped, and bytes that are not UTF-8 and control characters are replaced.
std::map<std::string, std::string> parseTxtRecord(const std::vector<std::string>& strings);

// The entry a browse result announces, with the host learnt for it (if any).
// Its service name is cleaned for showing like the TXT values; the browser's
// bookkeeping goes by the endpoint's own name.
PcrEntry makePcrEntry(const BrowseResult& result, std::optional<std::string> host);

// Sorts by display name: Unicode scalar order after canonical composition,
// case-sensitive and stable.
void sortByDisplayName(std::vector<PcrEntry>& entries);

// A peer address without its scope: the first non-empty piece between "%"s.
std::string hostWithoutScope(const std::string& text);

}  // namespace vsc
