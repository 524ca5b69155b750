// Desktop notifications over org.freedesktop.Notifications. The sd-bus
// connection belongs to one thread: posts are queued to it and every call is
// asynchronous, so neither a slow nor an absent notification server can hold
// up the caller.
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>

#include "platform/notifications.h"

namespace vsc {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// The action a click on the notification's body invokes.
constexpr const char* kDefaultAction = "default";
// A server being started on demand may take a while; the post waits for it on
// the bus thread, and later posts of the same identifier wait behind it.
constexpr std::uint64_t kCallTimeoutUsec = 25'000'000;

void wakeUp(int fd) {
    std::uint64_t one = 1;
    if (write(fd, &one, sizeof one) < 0) {
        // The counter is saturated: the thread is awake already.
    }
}

std::uint64_t monotonicUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace

struct FreedesktopNotifications::Bus {
    // What the posts of one identifier need across the round trip to the server.
    struct Entry {
        std::uint32_t id = 0;                 // the server's id of the last one shown, 0 for none
        std::string server;                   // the unique bus name of the server that showed it
        bool pending = false;                 // a Notify is on its way
        std::optional<Notification> waiting;  // the newest post held back meanwhile
    };

    explicit Bus(FreedesktopNotifications& owner) : owner(owner) {}

    FreedesktopNotifications& owner;

    // Shared with posting threads, under the owner's mutex.
    std::deque<Notification> queue;
    bool stopping = false;
    int wake = -1;

    // The bus thread's own.
    sd_bus* bus = nullptr;
    std::map<std::string, Entry> entries;
    std::map<std::uint64_t, std::string> calls;  // cookie of a Notify on its way -> identifier

    void run();
    void connect();
    void disconnect();
    void send(const Notification& n);
    void waitForWork();
    void requeue(Entry& entry);
    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*);
    static int onAction(sd_bus_message* signal, void* userdata, sd_bus_error*);
};

FreedesktopNotifications::FreedesktopNotifications(MainQueue& main)
    : FreedesktopNotifications(main, Options()) {}

FreedesktopNotifications::FreedesktopNotifications(MainQueue& main, Options options)
    : main_(main), options_(std::move(options)), bus_(std::make_unique<Bus>(*this)) {
    bus_->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

FreedesktopNotifications::~FreedesktopNotifications() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        bus_->stopping = true;
    }
    wakeUp(bus_->wake);
    thread_.join();
    close(bus_->wake);
}

void FreedesktopNotifications::post(const Notification& notification) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (bus_->stopping) return;
        bus_->queue.push_back(notification);
    }
    wakeUp(bus_->wake);
}

void FreedesktopNotifications::setClickHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard<std::mutex> hold(mutex_);
    clickHandler_ = std::move(handler);
}

void FreedesktopNotifications::deliverClick(const std::string& identifier) {
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        handler = clickHandler_;
    }
    if (handler) main_.post([handler, identifier] { handler(identifier); });
}

void FreedesktopNotifications::run() {
    bus_->run();
}

void FreedesktopNotifications::Bus::run() {
    for (;;) {
        std::deque<Notification> posts;
        {
            std::lock_guard<std::mutex> hold(owner.mutex_);
            if (stopping) break;
            posts.swap(queue);
        }
        if (!posts.empty() && !bus) connect();
        // Without a bus there is nobody to show them to: they are dropped.
        for (const auto& n : posts)
            if (bus) send(n);
        if (bus) {
            int r;
            while ((r = sd_bus_process(bus, nullptr)) > 0) {
            }
            if (r < 0) disconnect();
        }
        {
            // A reply may have released a post that waited for it.
            std::lock_guard<std::mutex> hold(owner.mutex_);
            if (stopping || !queue.empty()) continue;
        }
        waitForWork();
    }
    // What was posted last (just before the program ends) still goes out.
    if (bus) bus = sd_bus_flush_close_unref(bus);
}

void FreedesktopNotifications::Bus::connect() {
    if (sd_bus_open_user(&bus) < 0) {
        bus = nullptr;
        return;
    }
    // Clicks. Servers send them to us under their unique name, so the sender
    // is checked against the server that showed the notification.
    if (sd_bus_match_signal_async(bus, nullptr, nullptr, kPath, kInterface, "ActionInvoked",
                                  &Bus::onAction, nullptr, this) < 0) {
        // Notifications still work; clicks go unheard.
    }
}

void FreedesktopNotifications::Bus::disconnect() {
    bus = sd_bus_close_unref(bus);
    calls.clear();
    // The replies those were waiting for will not come; their identifiers
    // keep the last id known, and what waited goes out on the next connection.
    for (auto& [identifier, entry] : entries) {
        entry.pending = false;
        requeue(entry);
    }
}

void FreedesktopNotifications::Bus::requeue(Entry& entry) {
    if (!entry.waiting) return;
    std::lock_guard<std::mutex> hold(owner.mutex_);
    queue.push_front(std::move(*entry.waiting));
    entry.waiting.reset();
}

void FreedesktopNotifications::Bus::send(const Notification& n) {
    Entry& entry = entries[n.identifier];
    if (entry.pending) {
        // Replacing needs the id the server gives the one on its way.
        entry.waiting = n;
        return;
    }
    const Options& o = owner.options_;
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, kService, kPath, kInterface, "Notify") < 0)
        return;
    int r = sd_bus_message_append(call, "susss", o.appName.c_str(), entry.id, "", n.title.c_str(),
                                  n.body.c_str());
    if (r >= 0) r = sd_bus_message_append(call, "as", 2, kDefaultAction, "Open");
    if (r >= 0 && n.defaultSound)
        r = sd_bus_message_append(call, "a{sv}", 3, "sound-name", "s", o.soundName.c_str(),
                                  "category", "s", n.threadIdentifier.c_str(), "desktop-entry", "s",
                                  o.desktopEntry.c_str());
    else if (r >= 0)
        r = sd_bus_message_append(call, "a{sv}", 3, "suppress-sound", "b", 1, "category", "s",
                                  n.threadIdentifier.c_str(), "desktop-entry", "s",
                                  o.desktopEntry.c_str());
    if (r >= 0) r = sd_bus_message_append(call, "i", -1);  // the server's own display time
    if (r >= 0) r = sd_bus_call_async(bus, nullptr, call, &Bus::onReply, this, kCallTimeoutUsec);
    std::uint64_t cookie = 0;
    if (r >= 0 && sd_bus_message_get_cookie(call, &cookie) >= 0) {
        calls[cookie] = n.identifier;
        entry.pending = true;
    }
    sd_bus_message_unref(call);
}

int FreedesktopNotifications::Bus::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<Bus*>(userdata);
    std::uint64_t cookie = 0;
    if (sd_bus_message_get_reply_cookie(reply, &cookie) < 0) return 0;
    auto call = self.calls.find(cookie);
    if (call == self.calls.end()) return 0;
    Entry& entry = self.entries[call->second];
    self.calls.erase(call);
    entry.pending = false;
    // An error (no server on the bus, a server that refuses) shows nothing:
    // the post is dropped, and the last id known stays the one to replace.
    std::uint32_t id = 0;
    if (!sd_bus_message_is_method_error(reply, nullptr) &&
        sd_bus_message_read(reply, "u", &id) > 0) {
        entry.id = id;
        const char* server = sd_bus_message_get_sender(reply);
        entry.server = server ? server : "";
    }
    self.requeue(entry);
    return 0;
}

int FreedesktopNotifications::Bus::onAction(sd_bus_message* signal, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<Bus*>(userdata);
    std::uint32_t id = 0;
    const char* action = nullptr;
    if (sd_bus_message_read(signal, "us", &id, &action) < 0 || !action) return 0;
    if (std::string(action) != kDefaultAction || id == 0) return 0;
    const char* sender = sd_bus_message_get_sender(signal);
    for (const auto& [identifier, entry] : self.entries) {
        if (entry.id == id && sender && entry.server == sender) {
            self.owner.deliverClick(identifier);
            break;
        }
    }
    return 0;
}

void FreedesktopNotifications::Bus::waitForWork() {
    pollfd fds[2] = {{wake, POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    int timeout = -1;
    if (bus) {
        fds[1].fd = sd_bus_get_fd(bus);
        int events = sd_bus_get_events(bus);
        fds[1].events = static_cast<short>(events < 0 ? POLLIN : events);
        count = 2;
        std::uint64_t due = 0;
        if (sd_bus_get_timeout(bus, &due) >= 0 && due != UINT64_MAX) {
            std::uint64_t now = monotonicUsec();
            timeout = due <= now ? 0 : static_cast<int>((due - now + 999) / 1000);
        }
    }
    poll(fds, count, timeout);
    std::uint64_t drained;
    if (read(wake, &drained, sizeof drained) < 0) {
        // Nothing was posted: the bus woke us.
    }
}

}  // namespace vsc
