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

}  // namespace vsc
