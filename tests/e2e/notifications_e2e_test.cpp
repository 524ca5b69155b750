// The headless host against a real notification server (dunst under Xvfb) on
// a private session bus, watched with dbus-monitor; and without any server,
// where sending must go on as before. The NDI switch is worked from the
// host's input with the stand-in runtime installed while the host runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "support/desktop_session.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vsc::test::eventually;
using vsc::test::Program;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// One Notify call as dbus-monitor printed it, with the server's answer.
struct NotifyCall {
    std::uint32_t replacesId = 0;
    std::string title, body;
    std::map<std::string, std::string> hints;
    std::vector<std::string> actions;
    std::optional<std::uint32_t> shownAs;  // the id the server answered with
    bool refused = false;                  // answered with an error
};

std::string quoted(const std::string& line) {
    auto first = line.find('"'), last = line.rfind('"');
    return first == std::string::npos || last <= first ? ""
                                                       : line.substr(first + 1, last - first - 1);
}

std::string field(const std::string& header, const std::string& key) {
    auto at = header.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    return header.substr(at, header.find_first_of(" ;", at) - at);
}

// The Notify calls in dbus-monitor's output, in order, and the ids of the
// notifications whose default action the server reported.
std::vector<NotifyCall> notifyCalls(const std::string& text,
                                    std::vector<std::uint32_t>* clicked = nullptr) {
    std::vector<std::pair<std::string, std::vector<std::string>>> messages;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != ' ')
            messages.push_back({line, {}});
        else if (!messages.empty())
            messages.back().second.push_back(line);
    }
    std::vector<NotifyCall> calls;
    std::map<std::string, std::size_t> byCall;  // sender + serial -> index
    for (const auto& [header, body] : messages) {
        if (header.rfind("method call", 0) == 0 &&
            header.find("member=Notify") != std::string::npos && body.size() >= 5) {
            NotifyCall call;
            call.replacesId =
                static_cast<std::uint32_t>(std::stoul(body[1].substr(body[1].find("uint32") + 7)));
            call.title = quoted(body[3]);
            call.body = quoted(body[4]);
            std::size_t i = 5;
            for (; i < body.size() && body[i].find("   ]") != 0; ++i)
                if (body[i].find("string") != std::string::npos)
                    call.actions.push_back(quoted(body[i]));
            for (; i + 1 < body.size(); ++i)
                if (body[i].find("string \"") != std::string::npos &&
                    body[i + 1].find("variant") != std::string::npos)
                    call.hints[quoted(body[i])] =
                        body[i + 1].find('"') != std::string::npos
                            ? quoted(body[i + 1])
                            : body[i + 1].substr(body[i + 1].rfind(' ') + 1);
            byCall[field(header, "sender") + "#" + field(header, "serial")] = calls.size();
            calls.push_back(call);
        } else if (header.rfind("signal", 0) == 0 &&
                   header.find("member=ActionInvoked") != std::string::npos && body.size() >= 2) {
            if (clicked && quoted(body[1]) == "default")
                clicked->push_back(static_cast<std::uint32_t>(
                    std::stoul(body[0].substr(body[0].find("uint32") + 7))));
        } else if (header.rfind("method return", 0) == 0 || header.rfind("error", 0) == 0) {
            auto it =
                byCall.find(field(header, "destination") + "#" + field(header, "reply_serial"));
            if (it == byCall.end()) continue;
            NotifyCall& call = calls[it->second];
            if (header.rfind("error", 0) == 0)
                call.refused = true;
            else if (!body.empty() && body[0].find("uint32") != std::string::npos)
                call.shownAs = static_cast<std::uint32_t>(
                    std::stoul(body[0].substr(body[0].find("uint32") + 7)));
        }
    }
    return calls;
}

std::vector<NotifyCall> titled(const std::vector<NotifyCall>& calls,
                               const std::vector<std::string>& titles) {
    std::vector<NotifyCall> found;
    for (const auto& c : calls)
        if (std::find(titles.begin(), titles.end(), c.title) != titles.end()) found.push_back(c);
    return found;
}

// Everything the session bus carries to and from the notification server.
class BusMonitor {
  public:
    explicit BusMonitor(const std::string& file)
        : file_(file),
          program_("/usr/bin/dbus-monitor",
                   {"--session", "type='method_call',interface='org.freedesktop.Notifications'",
                    "type='method_return'", "type='error'",
                    "type='signal',interface='org.freedesktop.Notifications'"},
                   {}, false, false, file) {
        // It says hello to the bus first; from then on it sees everything.
        if (!eventually([&] { return !readFile(file_).empty(); }, 5s))
            throw std::runtime_error("dbus-monitor did not start");
    }
    std::vector<NotifyCall> calls() const { return notifyCalls(readFile(file_)); }
    std::vector<std::uint32_t> clicked() const {
        std::vector<std::uint32_t> ids;
        notifyCalls(readFile(file_), &ids);
        return ids;
    }

  private:
    std::string file_;
    Program program_;
};

// A display and a notification server on it, owning org.freedesktop.Notifications.
class NotificationServer {
  public:
    NotificationServer() {
        xvfb_ =
            std::make_unique<Program>("/usr/bin/Xvfb",
                                      std::vector<std::string>{"-displayfd", "1", "-nolisten",
                                                               "tcp", "-screen", "0", "800x600x24"},
                                      std::vector<std::pair<std::string, std::string>>{}, true);
        std::string number;
        char c;
        while (read(xvfb_->stdoutFd(), &c, 1) == 1 && c != '\n') number += c;
        if (number.empty()) throw std::runtime_error("Xvfb did not start");
        display_ = ":" + number;
        dunst_ = std::make_unique<Program>(
            "/usr/bin/dunst", std::vector<std::string>{},
            std::vector<std::pair<std::string, std::string>>{{"DISPLAY", display_}});
        bool up = eventually(
            [] {
                return vsc::test::outputOf(
                           "/usr/bin/dbus-send",
                           {"--session", "--print-reply", "--dest=org.freedesktop.DBus",
                            "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                            "string:org.freedesktop.Notifications"})
                           .find("boolean true") != std::string::npos;
            },
            10s);
        if (!up) throw std::runtime_error("dunst did not take the notifications name");
    }
    // A click on the first notification shown.
    void click() { vsc::test::runProgram("/usr/bin/dunstctl", {"action", "0"}); }

  private:
    std::unique_ptr<Program> xvfb_;
    std::string display_;
    std::unique_ptr<Program> dunst_;
};

// The headless host, sending the test studio's programme from the start.
std::unique_ptr<Program> startHost(const fs::path& dir, const std::string& url,
                                   std::vector<std::pair<std::string, std::string>> env = {}) {
    fs::create_directories(dir / "config" / "vendaroscope-virtualcam");
    std::ofstream(dir / "config" / "vendaroscope-virtualcam" / "preferences.json")
        << "{\"programURL\": \"" << url << "\", \"setupCompleted\": true, \"resumeSending\": true}";
    env.push_back({"XDG_CONFIG_HOME", (dir / "config").string()});
    return std::make_unique<Program>(std::string(VSC_BINARY_DIR) + "/bin/vsc-headless",
                                     std::vector<std::string>{}, env, false, true,
                                     (dir / "host.log").string());
}

const std::string kLostBody =
    "For 10 s, participants have seen “Waiting for program…”. Reconnecting to the studio…";

TEST(DesktopNotifications, AProgrammeLostAndBackIsToldAndALaterLossReplacesTheFirst) {
    vsc::test::DesktopSession session;
    NotificationServer server;
    BusMonitor monitor(session.dir() + "/monitor.txt");
    vsc::test::TestStudio studio;
    fs::path dir = session.dir() + "/host";
    auto host = startHost(dir, studio.url("STAGE_1"));
    auto log = [&] { return readFile(dir / "host.log"); };
    ASSERT_TRUE(eventually([&] { return log().find("receiving=1") != std::string::npos; }, 20s))
        << log();

    // The studio's path goes for 12 s.
    studio.control("drop?path=STAGE_1");
    auto dropped = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        eventually([&] { return !titled(monitor.calls(), {"Program lost"}).empty(); }, 15s));
    EXPECT_GE(std::chrono::steady_clock::now() - dropped, 10s);
    std::this_thread::sleep_until(dropped + 12s);
    studio.control("restore?path=STAGE_1");
    ASSERT_TRUE(eventually(
        [&] {
            auto back = titled(monitor.calls(), {"Program is back"});
            return !back.empty() && back[0].shownAs;
        },
        30s))
        << log();

    auto told = titled(monitor.calls(), {"Program lost", "Program is back"});
    ASSERT_EQ(told.size(), 2u);
    const NotifyCall& lost = told[0];
    EXPECT_EQ(lost.title, "Program lost");
    EXPECT_EQ(lost.body, kLostBody);
    EXPECT_EQ(lost.replacesId, 0u);
    EXPECT_EQ(lost.hints.at("category"), "vendaroscope-virtual-webcam");
    EXPECT_EQ(lost.hints.at("sound-name"), "message-new-instant");
    EXPECT_EQ(lost.actions, (std::vector<std::string>{"default", "Open"}));
    ASSERT_TRUE(lost.shownAs);
    EXPECT_EQ(told[1].body, "Sending the studio again.");

    // A click on one of them reaches the host with that one's identifier.
    server.click();
    ASSERT_TRUE(eventually([&] { return !monitor.clicked().empty(); }, 5s));
    const std::uint32_t clicked = monitor.clicked()[0];
    ASSERT_TRUE(clicked == *lost.shownAs || clicked == *told[1].shownAs);
    const std::string line = std::string("notification-click ") +
                             (clicked == *lost.shownAs ? "program-lost" : "program-back") + "\n";
    EXPECT_TRUE(eventually([&] { return log().find(line) != std::string::npos; }, 5s)) << log();

    // A second loss takes the place of the first "Program lost" on the desktop.
    studio.control("drop?path=STAGE_1");
    ASSERT_TRUE(
        eventually([&] { return titled(monitor.calls(), {"Program lost"}).size() == 2; }, 20s));
    ASSERT_TRUE(eventually(
        [&] { return titled(monitor.calls(), {"Program lost"})[1].shownAs.has_value(); }, 5s));
    auto again = titled(monitor.calls(), {"Program lost"})[1];
    EXPECT_EQ(again.replacesId, *lost.shownAs);
    EXPECT_EQ(again.shownAs, lost.shownAs);
    EXPECT_EQ(again.body, kLostBody);
    studio.control("restore?path=STAGE_1");
    host->stop(SIGTERM);
}

TEST(DesktopNotifications, WithoutAServerSendingGoesOnAndNdiStartsOnceItsRuntimeIsThere) {
    // No display either, so the bus cannot start a server on demand.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    vsc::test::DesktopSession session;
    BusMonitor monitor(session.dir() + "/monitor.txt");
    vsc::test::TestStudio studio;
    fs::path dir = session.dir() + "/host";
    fs::path runtime = session.dir() + "/ndi";
    fs::create_directories(runtime);
    auto host = startHost(dir, studio.url("STAGE_1"), {{"NDI_RUNTIME_DIR_V6", runtime.string()}});
    auto log = [&] { return readFile(dir / "host.log"); };
    ASSERT_TRUE(eventually([&] { return log().find("receiving=1") != std::string::npos; }, 20s))
        << log();

    host->send("ndi on");
    ASSERT_TRUE(eventually(
        [&] {
            return log().find("  NDI: NDI runtime not found (libndi.so.6)\n") != std::string::npos;
        },
        5s));
    fs::create_symlink(STAND_IN_NDI, runtime / "libndi.so.6");
    host->send("ndi-name Desk");
    host->send("ndi on");
    EXPECT_TRUE(eventually(
        [&] {
            return log().find("  NDI output “Desk” started (6.0.2 (stand-in))\n") !=
                       std::string::npos &&
                   log().find("ndi-status On · 0 receivers\n") != std::string::npos;
        },
        5s))
        << log();

    // 12 s without the programme: the notification finds nobody, and the host
    // goes on ticking every second as before.
    studio.control("drop?path=STAGE_1");
    std::size_t before = occurrences(log(), "stats ");
    std::this_thread::sleep_for(12s);
    EXPECT_GE(occurrences(log(), "stats ") - before, 10u);
    ASSERT_TRUE(eventually(
        [&] {
            auto lost = titled(monitor.calls(), {"Program lost"});
            return lost.size() == 1 && lost[0].refused;
        },
        30s));
    studio.control("restore?path=STAGE_1");
    std::size_t receiving = occurrences(log(), "receiving=1");
    ASSERT_TRUE(eventually([&] { return occurrences(log(), "receiving=1") > receiving + 1; }, 30s));

    host->send("ndi off");
    EXPECT_TRUE(
        eventually([&] { return log().find("ndi-status Off\n") != std::string::npos; }, 5s));
    auto stopping = std::chrono::steady_clock::now();
    int status = host->stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 3s);
}

}  // namespace
