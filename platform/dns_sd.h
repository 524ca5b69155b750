#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vsc {

// Where an announcement was seen: enough to find the service again.
struct ServiceEndpoint {
    std::string name;
    std::string type;
    std::string domain;
    int interfaceIndex = -1;
    bool operator==(const ServiceEndpoint&) const = default;
};

// One announced service and the strings of its TXT record, as received.
struct BrowseResult {
    ServiceEndpoint endpoint;
    std::vector<std::string> txt;
    bool operator==(const BrowseResult&) const = default;
};

// How a resolving connection ended up. Ready carries the peer's address as
// text when the connection has one (an IPv6 link-local one with "%scope").
struct ConnectionEvent {
    enum class Kind { Ready, Failed };
    Kind kind = Kind::Failed;
    std::optional<std::string> remoteHost;
    std::string error;
};

// A short TCP connection to an announced service, made to learn its address.
// Dropping or cancelling it ends it silently.
class ResolvingConnection {
  public:
    virtual ~ResolvingConnection() = default;
    virtual void cancel() = 0;
};

// DNS-SD browsing for one service type. Every handler runs on the browser's
// own thread. Connections are made, cancelled and dropped only there (or
// after the browser is gone, which ends them all); a connection reports
// nothing before connect() has returned it. Destroying the browser stops its
// thread, so it must not happen on that thread.
class DnsSdBrowser {
  public:
    struct Handlers {
        // The complete current set of results after every change.
        std::function<void(std::vector<BrowseResult>)> results;
        // Browsing has stopped for good.
        std::function<void(const std::string& error)> failed;
    };
    virtual ~DnsSdBrowser() = default;
    // Starts browsing (once).
    virtual void start(Handlers handlers) = 0;
    virtual std::shared_ptr<ResolvingConnection> connect(
        const ServiceEndpoint& endpoint, std::function<void(const ConnectionEvent&)> onEvent) = 0;
};

// Avahi's client library: browses `serviceType` in the default domains on a
// thread labelled `label`; a connection gives up after `connectTimeoutSeconds`.
std::unique_ptr<DnsSdBrowser> makeAvahiBrowser(const std::string& serviceType,
                                               const std::string& label,
                                               double connectTimeoutSeconds = 10);

}  // namespace vsc
