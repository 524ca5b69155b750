// DNS-SD browsing through avahi-daemon (libavahi-client on a threaded poll).
//
// The daemon hands out service names, once per interface and protocol they
// are seen on; a service is one result whatever the number of those, as a
// studio seen over two network links is still one studio. Its endpoint names
// the interface when there is just one. TXT records and addresses come from
// resolvers. A service is reported once its TXT record is known (or its
// resolver gave up, which reports it with an empty record), and a resolver per
// service stays open so that later changes of the record are seen. Results go
// out as whole sets, and a set waits (up to two seconds) for the first round of
// answers after browsing begins and for the records of services just seen:
// answers trickle in one by one, and a set with one studio of two would have
// that one chosen before the other is known. A resolving
// connection resolves the service's IPv4 address afresh, then opens a
// non-blocking TCP connection to that address and port; the peer address of
// that connection is the answer. Only IPv4: the address ends up in rtsp:// and
// http:// addresses written host:port, which an IPv6 address (link-local, as
// mDNS mostly gives, and without its scope) cannot be.
#include <arpa/inet.h>
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "platform/dns_sd.h"

namespace vsc {
namespace {

std::string errorText(int error) {
    const char* text = strerrordesc_np(error);
    return text ? text : "error " + std::to_string(error);
}

// The peer's address as text; an IPv6 address with a scope gets "%scope".
std::optional<std::string> peerAddress(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return std::nullopt;
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
        if (!inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text)) return std::nullopt;
        return std::string(text);
    }
    if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        if (!inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text)) return std::nullopt;
        std::string result = text;
        if (v6.sin6_scope_id != 0) {
            char name[IF_NAMESIZE] = {};
            result += "%";
            result += if_indextoname(v6.sin6_scope_id, name) ? std::string(name)
                                                             : std::to_string(v6.sin6_scope_id);
        }
        return result;
    }
    return std::nullopt;
}

std::vector<std::string> txtStrings(AvahiStringList* list) {
    std::vector<std::string> strings;
    for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item))
        strings.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)),
                             avahi_string_list_get_size(item));
    return strings;
}

timeval after(double seconds) {
    timeval when{};
    avahi_elapse_time(&when, static_cast<unsigned>(seconds * 1000), 0);
    return when;
}

class AvahiBrowser;

class AvahiConnection final : public ResolvingConnection {
  public:
    AvahiConnection(AvahiBrowser* owner, std::function<void(const ConnectionEvent&)> onEvent)
        : owner_(owner), onEvent_(std::move(onEvent)) {}
    ~AvahiConnection() override { cancel(); }
    void begin(AvahiClient* client, const AvahiPoll* poll, const ServiceEndpoint& endpoint,
               double timeoutSeconds);
    void cancel() override;
    // The daemon went away: ends the connection, reporting `error`.
    void abandon(const std::string& error) {
        finish({ConnectionEvent::Kind::Failed, std::nullopt, error});
    }

  private:
    static void resolved(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol,
                         AvahiResolverEvent event, const char*, const char*, const char*,
                         const char*, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                         AvahiLookupResultFlags, void* self);
    static void writable(AvahiWatch*, int, AvahiWatchEvent, void* self);
    static void timedOut(AvahiTimeout*, void* self);
    void connectTo(const AvahiAddress& address, uint16_t port, AvahiIfIndex interface);
    void connected();
    // Ends the connection and reports how; nothing is reported after this.
    void finish(ConnectionEvent event);
    // Reports a failure found while starting, from the poll loop rather than
    // from inside connect().
    void failSoon(const std::string& error);

    AvahiBrowser* owner_;
    std::function<void(const ConnectionEvent&)> onEvent_;
    AvahiClient* client_ = nullptr;
    const AvahiPoll* poll_ = nullptr;
    AvahiServiceResolver* resolver_ = nullptr;
    AvahiWatch* watch_ = nullptr;
    AvahiTimeout* deadline_ = nullptr;
    std::optional<std::string> pendingFailure_;
    int fd_ = -1;
    bool done_ = false;
};

class AvahiBrowser final : public DnsSdBrowser {
  public:
    AvahiBrowser(std::string serviceType, std::string label, double connectTimeout)
        : type_(std::move(serviceType)),
          label_(std::move(label)),
          timeout_(connectTimeout),
          poll_(avahi_threaded_poll_new()) {}

    ~AvahiBrowser() override {
        if (running_) avahi_threaded_poll_stop(poll_);
        // The loop has stopped: nothing runs beside us any more.
        std::set<AvahiConnection*> live = live_;
        for (AvahiConnection* c : live) c->cancel();
        dropBrowsing();
        if (client_) avahi_client_free(client_);
        if (poll_) avahi_threaded_poll_free(poll_);
    }

    void start(Handlers handlers) override {
        if (started_) return;
        started_ = true;
        handlers_ = std::move(handlers);
        if (!poll_) {
            if (handlers_.failed) handlers_.failed(avahi_strerror(AVAHI_ERR_NO_MEMORY));
            return;
        }
        // Everything else happens on the loop's thread, beginning with this.
        const AvahiPoll* api = avahi_threaded_poll_get(poll_);
        timeval now = after(0);
        api->timeout_new(api, &now, &AvahiBrowser::begin, this);
        running_ = avahi_threaded_poll_start(poll_) == 0;
        if (!running_ && handlers_.failed) handlers_.failed(avahi_strerror(AVAHI_ERR_FAILURE));
    }

    std::shared_ptr<ResolvingConnection> connect(
        const ServiceEndpoint& endpoint,
        std::function<void(const ConnectionEvent&)> onEvent) override {
        auto connection = std::make_shared<AvahiConnection>(this, std::move(onEvent));
        live_.insert(connection.get());
        connection->begin(client_, avahi_threaded_poll_get(poll_), endpoint, timeout_);
        return connection;
    }

    void forget(AvahiConnection* connection) { live_.erase(connection); }

  private:
    struct Record {
        ServiceEndpoint endpoint;
        std::set<std::pair<AvahiIfIndex, AvahiProtocol>> seenOn;
        AvahiServiceResolver* resolver = nullptr;
        std::pair<AvahiIfIndex, AvahiProtocol> resolverOn{AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC};
        bool known = false;
        std::chrono::steady_clock::time_point since;  // first seen
        std::vector<std::string> txt;
        AvahiBrowser* owner = nullptr;
    };
    using Key = std::tuple<std::string, std::string, std::string>;

    // The interface a service is reached on, or any when it is seen on several.
    static int interfaceOf(const Record& record) {
        std::set<AvahiIfIndex> interfaces;
        for (const auto& [interface, protocol] : record.seenOn) interfaces.insert(interface);
        return interfaces.size() == 1 ? *interfaces.begin() : AVAHI_IF_UNSPEC;
    }

    static void begin(AvahiTimeout* timeout, void* self) {
        auto* browser = static_cast<AvahiBrowser*>(self);
        const AvahiPoll* api = avahi_threaded_poll_get(browser->poll_);
        api->timeout_free(timeout);
        pthread_setname_np(pthread_self(), browser->label_.substr(0, 15).c_str());
        int error = 0;
        // Without the daemon the client waits for it to appear.
        browser->client_ = avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, &AvahiBrowser::clientChanged,
                                            browser, &error);
        if (!browser->client_) browser->fail(avahi_strerror(error));
    }

    static void clientChanged(AvahiClient* client, AvahiClientState state, void* self) {
        auto* browser = static_cast<AvahiBrowser*>(self);
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION:
                if (browser->browser_ || browser->failed_) return;
                browser->client_ = client;  // may be called before avahi_client_new returns
                browser->browsingSince_ = std::chrono::steady_clock::now();
                browser->browser_ = avahi_service_browser_new(
                    client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, browser->type_.c_str(), nullptr,
                    AvahiLookupFlags(0), &AvahiBrowser::browsed, browser);
                if (!browser->browser_) browser->fail(avahi_strerror(avahi_client_errno(client)));
                return;
            case AVAHI_CLIENT_CONNECTING:
                // Waiting for the daemon to appear. (A daemon that goes away
                // after browsing began comes as a failure.)
                if (browser->browser_) browser->fail(avahi_strerror(AVAHI_ERR_DISCONNECTED));
                return;
            case AVAHI_CLIENT_FAILURE:
                if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED && !browser->failed_) {
                    browser->daemonGone(client);
                    return;
                }
                browser->fail(avahi_strerror(avahi_client_errno(client)));
                return;
        }
    }

    static void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiBrowserEvent event, const char* name, const char* type,
                        const char* domain, AvahiLookupResultFlags, void* self) {
        auto* browser = static_cast<AvahiBrowser*>(self);
        if (browser->failed_) return;
        switch (event) {
            case AVAHI_BROWSER_NEW: {
                Record& record = browser->records_[Key{name, type, domain}];
                record.seenOn.insert({interface, protocol});
                if (record.owner) {
                    // The same service on another link or protocol.
                    int where = interfaceOf(record);
                    if (where == record.endpoint.interfaceIndex) return;
                    record.endpoint.interfaceIndex = where;
                    if (record.known) browser->publish();
                    return;
                }
                record.owner = browser;
                record.since = std::chrono::steady_clock::now();
                record.endpoint = ServiceEndpoint{name, type, domain, interface};
                browser->watchRecord(record, {interface, protocol});
                return;
            }
            case AVAHI_BROWSER_REMOVE: {
                auto it = browser->records_.find(Key{name, type, domain});
                if (it == browser->records_.end()) return;
                Record& record = it->second;
                record.seenOn.erase({interface, protocol});
                if (!record.seenOn.empty()) {
                    // The record was watched on the link that went: watch it on another.
                    if (record.resolver && record.resolverOn == std::pair{interface, protocol}) {
                        avahi_service_resolver_free(record.resolver);
                        record.resolver = nullptr;
                        browser->watchRecord(record, *record.seenOn.begin());
                    }
                    int where = interfaceOf(record);
                    if (where == record.endpoint.interfaceIndex) return;
                    record.endpoint.interfaceIndex = where;
                    if (record.known) browser->publish();
                    return;
                }
                if (record.resolver) avahi_service_resolver_free(record.resolver);
                bool listed = record.known;
                browser->records_.erase(it);
                if (listed) browser->publish();
                return;
            }
            case AVAHI_BROWSER_FAILURE:
                browser->fail(avahi_strerror(avahi_client_errno(browser->client_)));
                return;
            case AVAHI_BROWSER_ALL_FOR_NOW:
                // The first round of answers is in.
                browser->settled_ = true;
                if (browser->held_) browser->publish();
                return;
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
                return;
        }
    }

    // Opens the resolver that reports the service's TXT record, now and
    // whenever it changes.
    void watchRecord(Record& record, std::pair<AvahiIfIndex, AvahiProtocol> on) {
        record.resolverOn = on;
        record.resolver = avahi_service_resolver_new(
            client_, on.first, on.second, record.endpoint.name.c_str(),
            record.endpoint.type.c_str(), record.endpoint.domain.c_str(), AVAHI_PROTO_UNSPEC,
            AvahiLookupFlags(0), &AvahiBrowser::resolvedRecord, &record);
        if (!record.resolver && !record.known) {
            record.known = true;  // listed without its record
            publish();
        }
    }

    static void resolvedRecord(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                               AvahiResolverEvent event, const char*, const char*, const char*,
                               const char*, const AvahiAddress*, uint16_t, AvahiStringList* txt,
                               AvahiLookupResultFlags, void* data) {
        auto& record = *static_cast<Record*>(data);
        AvahiBrowser* browser = record.owner;
        if (event == AVAHI_RESOLVER_FOUND) {
            std::vector<std::string> strings = txtStrings(txt);
            if (record.known && strings == record.txt) return;
            record.known = true;
            record.txt = std::move(strings);
            browser->publish();
            return;
        }
        // The resolver gave up (no answer in time): list the service without
        // a record rather than not at all.
        avahi_service_resolver_free(resolver);
        record.resolver = nullptr;
        if (record.known) return;
        record.known = true;
        browser->publish();
    }

    // The moment until which the current set is held back.
    std::chrono::steady_clock::time_point heldUntil() const {
        auto settle = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(kSettleSeconds));
        auto until = std::chrono::steady_clock::time_point::min();
        if (!settled_) until = browsingSince_ + settle;
        for (const auto& [key, record] : records_)
            if (!record.known) until = std::max(until, record.since + settle);
        return until;
    }

    void publish() {
        if (failed_ || !handlers_.results) return;
        auto now = std::chrono::steady_clock::now();
        auto until = heldUntil();
        if (until > now) {
            held_ = true;
            const AvahiPoll* api = avahi_threaded_poll_get(poll_);
            timeval when = after(std::chrono::duration<double>(until - now).count());
            if (flush_)
                api->timeout_update(flush_, &when);
            else
                flush_ = api->timeout_new(api, &when, &AvahiBrowser::flush, this);
            return;
        }
        held_ = false;
        std::vector<BrowseResult> results;
        for (const auto& [key, record] : records_)
            if (record.known) results.push_back(BrowseResult{record.endpoint, record.txt});
        handlers_.results(std::move(results));
    }

    static void flush(AvahiTimeout* timeout, void* self) {
        auto* browser = static_cast<AvahiBrowser*>(self);
        avahi_threaded_poll_get(browser->poll_)->timeout_update(timeout, nullptr);
        if (browser->held_) browser->publish();
    }

    // avahi-daemon went away (restarted, say): whatever it told us is void.
    // Say so, end what is in flight, and wait for a daemon to browse again;
    // the list stays as it was until the new daemon's first answers are in.
    void daemonGone(AvahiClient* client) {
        const std::string error = avahi_strerror(AVAHI_ERR_DISCONNECTED);
        if (handlers_.failed) handlers_.failed(error);
        client_ = nullptr;  // connections made from here on fail at once
        std::set<AvahiConnection*> live = live_;
        for (AvahiConnection* c : live) c->abandon(error);
        dropBrowsing();
        settled_ = false;
        held_ = true;  // the new daemon's first set goes out, even an empty one
        avahi_client_free(client);
        int code = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                   &AvahiBrowser::clientChanged, this, &code);
        if (!client_) fail(avahi_strerror(code));
    }

    // Forgets the services seen, their record resolvers and the browser.
    void dropBrowsing() {
        for (auto& [key, record] : records_)
            if (record.resolver) avahi_service_resolver_free(record.resolver);
        records_.clear();
        if (browser_) avahi_service_browser_free(browser_);
        browser_ = nullptr;
    }

    void fail(const std::string& error) {
        if (failed_) return;
        failed_ = true;
        dropBrowsing();
        if (handlers_.failed) handlers_.failed(error);
    }

    std::string type_;
    std::string label_;
    double timeout_;
    AvahiThreadedPoll* poll_;
    Handlers handlers_;
    bool started_ = false;
    bool running_ = false;
    bool failed_ = false;
    static constexpr double kSettleSeconds = 2.0;
    bool settled_ = false;  // the first round of answers is in
    bool held_ = false;     // a changed set waits to go out
    std::chrono::steady_clock::time_point browsingSince_;
    AvahiTimeout* flush_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
    std::map<Key, Record> records_;
    std::set<AvahiConnection*> live_;
};

void AvahiConnection::begin(AvahiClient* client, const AvahiPoll* poll,
                            const ServiceEndpoint& endpoint, double timeoutSeconds) {
    client_ = client;
    poll_ = poll;
    timeval deadline = after(timeoutSeconds);
    deadline_ = poll_->timeout_new(poll_, &deadline, &AvahiConnection::timedOut, this);
    if (!client_) {
        failSoon(avahi_strerror(AVAHI_ERR_NO_DAEMON));
        return;
    }
    // Asked over IPv4 mDNS too: avahi does not announce A records over IPv6.
    resolver_ = avahi_service_resolver_new(
        client_, endpoint.interfaceIndex, AVAHI_PROTO_INET, endpoint.name.c_str(),
        endpoint.type.c_str(), endpoint.domain.empty() ? nullptr : endpoint.domain.c_str(),
        AVAHI_PROTO_INET, AvahiLookupFlags(0), &AvahiConnection::resolved, this);
    if (!resolver_) failSoon(avahi_strerror(avahi_client_errno(client_)));
}

void AvahiConnection::failSoon(const std::string& error) {
    pendingFailure_ = error;
    timeval now = after(0);
    if (deadline_) poll_->timeout_update(deadline_, &now);
}

void AvahiConnection::cancel() {
    if (done_) return;
    done_ = true;
    if (resolver_) avahi_service_resolver_free(resolver_);
    if (watch_) poll_->watch_free(watch_);
    if (deadline_) poll_->timeout_free(deadline_);
    if (fd_ >= 0) close(fd_);
    resolver_ = nullptr;
    watch_ = nullptr;
    deadline_ = nullptr;
    fd_ = -1;
    if (owner_) owner_->forget(this);
    owner_ = nullptr;
}

void AvahiConnection::finish(ConnectionEvent event) {
    if (done_) return;
    // The handler may drop the last reference to this connection.
    auto onEvent = std::move(onEvent_);
    cancel();
    if (onEvent) onEvent(event);
}

void AvahiConnection::resolved(AvahiServiceResolver* resolver, AvahiIfIndex interface,
                               AvahiProtocol, AvahiResolverEvent event, const char*, const char*,
                               const char*, const char*, const AvahiAddress* address, uint16_t port,
                               AvahiStringList*, AvahiLookupResultFlags, void* self) {
    auto* connection = static_cast<AvahiConnection*>(self);
    avahi_service_resolver_free(resolver);
    connection->resolver_ = nullptr;
    if (event != AVAHI_RESOLVER_FOUND || !address) {
        connection->finish({ConnectionEvent::Kind::Failed, std::nullopt,
                            avahi_strerror(avahi_client_errno(connection->client_))});
        return;
    }
    connection->connectTo(*address, port, interface);
}

void AvahiConnection::connectTo(const AvahiAddress& address, uint16_t port,
                                AvahiIfIndex interface) {
    sockaddr_storage target{};
    socklen_t length = 0;
    if (address.proto == AVAHI_PROTO_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(target);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = address.data.ipv4.address;
        length = sizeof v4;
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(target);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        std::memcpy(&v6.sin6_addr, address.data.ipv6.address, sizeof v6.sin6_addr);
        if (IN6_IS_ADDR_LINKLOCAL(&v6.sin6_addr) && interface > 0)
            v6.sin6_scope_id = static_cast<uint32_t>(interface);
        length = sizeof v6;
    }
    fd_ = socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        finish({ConnectionEvent::Kind::Failed, std::nullopt, errorText(errno)});
        return;
    }
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&target), length) == 0) {
        connected();
        return;
    }
    if (errno != EINPROGRESS) {
        finish({ConnectionEvent::Kind::Failed, std::nullopt, errorText(errno)});
        return;
    }
    watch_ = poll_->watch_new(poll_, fd_, AVAHI_WATCH_OUT, &AvahiConnection::writable, this);
    if (!watch_) finish({ConnectionEvent::Kind::Failed, std::nullopt, errorText(ENOMEM)});
}

void AvahiConnection::writable(AvahiWatch*, int fd, AvahiWatchEvent, void* self) {
    auto* connection = static_cast<AvahiConnection*>(self);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) {
        connection->finish({ConnectionEvent::Kind::Failed, std::nullopt, errorText(error)});
        return;
    }
    connection->connected();
}

void AvahiConnection::connected() {
    // A connection reset at once has no peer any more: count it as failed so
    // that the caller does not try again straight away.
    std::optional<std::string> peer = peerAddress(fd_);
    if (!peer) {
        finish({ConnectionEvent::Kind::Failed, std::nullopt, errorText(errno)});
        return;
    }
    finish({ConnectionEvent::Kind::Ready, peer, {}});
}

void AvahiConnection::timedOut(AvahiTimeout*, void* self) {
    auto* connection = static_cast<AvahiConnection*>(self);
    std::string error = connection->pendingFailure_.value_or(errorText(ETIMEDOUT));
    connection->finish({ConnectionEvent::Kind::Failed, std::nullopt, error});
}

}  // namespace

std::unique_ptr<DnsSdBrowser> makeAvahiBrowser(const std::string& serviceType,
                                               const std::string& label,
                                               double connectTimeoutSeconds) {
    return std::make_unique<AvahiBrowser>(serviceType, label, connectTimeoutSeconds);
}

}  // namespace vsc
