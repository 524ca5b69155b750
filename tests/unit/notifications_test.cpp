// The freedesktop notification port on a private session bus, against a
// notification server the test plays itself, so that it can hold a reply
// back and send clicks.
#include "platform/notifications.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/desktop_session.h"
#include "support/virtual_main_queue.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vsc::test::eventually;

namespace {

// A session bus of the test's own; this process talks to it from now on.
class PrivateBus {
  public:
    PrivateBus() {
        char pattern[] = "/tmp/vsc-bus-XXXXXX";
        dir_ = mkdtemp(pattern);
        address_ = "unix:path=" + (dir_ / "bus").string();
        daemon_ = std::make_unique<vsc::test::Program>(
            "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--nopidfile",
                                                             "--address=" + address_});
        setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
        // The socket's file comes a moment before the daemon listens on it.
        if (!eventually(
                [] {
                    sd_bus* bus = nullptr;
                    if (sd_bus_open_user(&bus) < 0) return false;
                    sd_bus_flush_close_unref(bus);
                    return true;
                },
                5s))
            throw std::runtime_error("no session bus");
    }
    ~PrivateBus() {
        daemon_.reset();
        fs::remove_all(dir_);
    }

  private:
    fs::path dir_;
    std::string address_;
    std::unique_ptr<vsc::test::Program> daemon_;
};

// A connection to the bus, worked on the test's thread only.
class Connection {
  public:
    Connection() {
        if (sd_bus_open_user(&bus_) < 0) throw std::runtime_error("cannot connect");
    }
    ~Connection() { sd_bus_flush_close_unref(bus_); }
    // Runs the connection until the condition holds.
    bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
        return eventually(
            [&] {
                while (sd_bus_process(bus_, nullptr) > 0) {
                }
                return condition();
            },
            limit);
    }
    void click(std::uint32_t id, const char* action) {
        sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                           "ActionInvoked", "us", id, action);
        sd_bus_flush(bus_);
    }
    sd_bus* bus_ = nullptr;
};

// The notification server: records each Notify and answers it with the id it
// replaces or a new one, at once or when the test lets it.
class Server : public Connection {
  public:
    struct Call {
        std::uint32_t replacesId;
        std::string title, category;
    };
    void open() {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &Server::notify,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_SIGNAL("ActionInvoked", "us", 0), SD_BUS_VTABLE_END};
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", vtable, this);
        if (sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) < 0)
            throw std::runtime_error("cannot own the notifications name");
    }
    void release() {
        for (auto* call : held_) {
            answer(call);
            sd_bus_message_unref(call);
        }
        held_.clear();
        sd_bus_flush(bus_);
    }
    std::vector<Call> calls;
    bool hold = false;

  private:
    void answer(sd_bus_message* call) {
        std::uint32_t replaces = 0;
        sd_bus_message_rewind(call, true);
        sd_bus_message_read(call, "su", nullptr, &replaces);
        sd_bus_reply_method_return(call, "u", replaces ? replaces : nextId_++);
    }
    static int notify(sd_bus_message* call, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<Server*>(userdata);
        Call c{};
        const char* title = nullptr;
        sd_bus_message_read(call, "suss", nullptr, &c.replacesId, nullptr, &title);
        c.title = title;
        sd_bus_message_skip(call, "sas");
        sd_bus_message_enter_container(call, 'a', "{sv}");
        while (sd_bus_message_enter_container(call, 'e', "sv") > 0) {
            const char* key = nullptr;
            sd_bus_message_read(call, "s", &key);
            if (std::string(key) == "category") {
                sd_bus_message_read(call, "v", "s", &title);
                c.category = title;
            } else {
                sd_bus_message_skip(call, "v");
            }
            sd_bus_message_exit_container(call);
        }
        self.calls.push_back(c);
        if (self.hold) {
            self.held_.push_back(sd_bus_message_ref(call));
            return 1;
        }
        self.answer(call);
        return 1;
    }
    std::vector<sd_bus_message*> held_;
    std::uint32_t nextId_ = 7;
};

vsc::Notification lost(const std::string& title) {
    return {"program-lost", title, "body", "vendaroscope-virtual-webcam", true};
}

TEST(FreedesktopNotifications, ReplacesByIdentifierWaitsForTheIdAndRoutesClicks) {
    PrivateBus bus;
    vsc::test::VirtualMainQueue main;
    vsc::FreedesktopNotifications port(main);
    std::vector<std::string> clicks;
    port.setClickHandler([&](const std::string& identifier) { clicks.push_back(identifier); });

    Server server;
    Connection other;
    server.open();

    port.post(lost("B"));
    ASSERT_TRUE(server.pumpUntil([&] { return server.calls.size() == 1; }));
    EXPECT_EQ(server.calls[0].title, "B");
    EXPECT_EQ(server.calls[0].replacesId, 0u);
    EXPECT_EQ(server.calls[0].category, "vendaroscope-virtual-webcam");
    server.pumpUntil([] { return false; }, 200ms);  // B's id reaches the port

    // While the server has not answered C, D and E wait; only the newest goes,
    // replacing what C became.
    server.hold = true;
    port.post(lost("C"));
    ASSERT_TRUE(server.pumpUntil([&] { return server.calls.size() == 2; }));
    EXPECT_EQ(server.calls[1].replacesId, 7u);
    port.post(lost("D"));
    port.post(lost("E"));
    server.pumpUntil([] { return false; }, 300ms);
    EXPECT_EQ(server.calls.size(), 2u);
    server.hold = false;
    server.release();
    ASSERT_TRUE(server.pumpUntil([&] { return server.calls.size() == 3; }));
    EXPECT_EQ(server.calls[2].title, "E");
    EXPECT_EQ(server.calls[2].replacesId, 7u);
    port.post({"program-back", "Back", "body", "vendaroscope-virtual-webcam", true});
    ASSERT_TRUE(server.pumpUntil([&] { return server.calls.size() == 4; }));
    EXPECT_EQ(server.calls[3].replacesId, 0u);
    server.pumpUntil([] { return false; }, 200ms);

    // Clicks come to the main queue with the identifier. The port may learn
    // the last id a little later on a busy machine, so the click on it is
    // repeated until one arrives.
    server.click(7, "default");
    ASSERT_TRUE(eventually([&] {
        server.click(8, "default");
        server.pumpUntil([] { return false; }, 50ms);
        main.runPending();
        return clicks.size() >= 2;
    }));
    std::this_thread::sleep_for(100ms);
    main.runPending();
    ASSERT_GE(clicks.size(), 2u);
    EXPECT_EQ(clicks[0], "program-lost");
    for (std::size_t i = 1; i < clicks.size(); ++i) EXPECT_EQ(clicks[i], "program-back");
    // Another action, or a signal from someone other than the server, is no click.
    const auto before = clicks.size();
    server.click(8, "reply");
    other.click(8, "default");
    server.pumpUntil([] { return false; }, 300ms);
    main.runPending();
    EXPECT_EQ(clicks.size(), before);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
