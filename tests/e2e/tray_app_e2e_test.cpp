// The tray application as a person uses it, on a virtual display with a tray
// host (trayer) and a notification server (dunst): a click on the tray icon
// opens the panel, a click on Start sends the announced studio into the
// camera; a second launch raises the settings window of the running one; a
// click on the microphone's notification opens the settings on Maintenance.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "support/camera_viewer.h"
#include "support/desktop_session.h"
#include "support/headless_host.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using vsc::test::eventually;
using vsc::test::Look;
using vsc::test::Program;

namespace {

const std::string kApp = std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-virtualcam";
const std::vector<std::string> kAnnounce = {
    "--announce", "Studio One", "--pcr-name", "Test Studio", "--pcr-code",
    "TS",         "--pcr-sid",  "1",          "--pcr-stage", "STAGE_1"};
constexpr int kScreenWidth = 1024;

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

void xdotool(const std::vector<std::string>& args) {
    vsc::test::runProgram("/usr/bin/xdotool", args);
}

// A virtual display with a tray at its top right corner and a notification
// server, for the whole suite; with the session's bus, PipeWire and avahi.
class TrayApp : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        session_ = new vsc::test::DesktopSession(true);
        xvfb_ = new Program("/usr/bin/Xvfb",
                            {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                             std::to_string(kScreenWidth) + "x700x24"},
                            {}, true);
        std::string number;
        char c;
        while (read(xvfb_->stdoutFd(), &c, 1) == 1 && c != '\n') number += c;
        ASSERT_FALSE(number.empty());
        setenv("DISPLAY", (":" + number).c_str(), 1);
        trayer_ =
            new Program("/usr/bin/trayer", {"--edge", "top", "--align", "right", "--widthtype",
                                            "request", "--height", "24", "--SetDockType", "true"});
        dunst_ = new Program("/usr/bin/dunst", {});
        camera_ = new Program(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera", {});
        ASSERT_TRUE(eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
        studio_ = new vsc::test::TestStudio(1280, 720, 8554, 0, kAnnounce);
    }
    static void TearDownTestSuite() {
        delete studio_;
        delete camera_;
        delete dunst_;
        delete trayer_;
        delete xvfb_;
        delete session_;
    }

    // The application with the setup done, its lines collected.
    std::unique_ptr<vsc::test::HeadlessHost> launch() {
        config_ = session_->dir() + "/app-config-" + std::to_string(++launches_);
        return std::make_unique<vsc::test::HeadlessHost>(config_, "{\"setupCompleted\": true}",
                                                         kApp);
    }

    // Whether the notification server showed a notification with that
    // title (within `limit`). Shown ones are closed into its history, which
    // is what dunstctl can list.
    static bool desktopWasTold(const std::string& title, std::chrono::milliseconds limit) {
        return eventually(
            [&] {
                vsc::test::runProgram("/usr/bin/dunstctl", {"close-all"});
                return vsc::test::outputOf("/usr/bin/dunstctl", {"history"}).find(title) !=
                       std::string::npos;
            },
            limit);
    }

    // A click on the tray icon, at the right end of the tray at the top right
    // corner: the line the panel printed when it opened.
    static std::optional<vsc::test::HeadlessHost::Line> openPanel(vsc::test::HeadlessHost& app) {
        const auto clicked = Steady::now();
        xdotool({"mousemove", std::to_string(kScreenWidth - 12), "12", "click", "1"});
        return app.waitFor("window panel at", 5s, clicked);
    }

    static vsc::test::DesktopSession* session_;
    static Program* xvfb_;
    static Program* trayer_;
    static Program* dunst_;
    static Program* camera_;
    static vsc::test::TestStudio* studio_;
    static int launches_;
    std::string config_;
};
vsc::test::DesktopSession* TrayApp::session_ = nullptr;
Program* TrayApp::xvfb_ = nullptr;
Program* TrayApp::trayer_ = nullptr;
Program* TrayApp::dunst_ = nullptr;
Program* TrayApp::camera_ = nullptr;
vsc::test::TestStudio* TrayApp::studio_ = nullptr;
int TrayApp::launches_ = 0;

TEST_F(TrayApp, TheTrayIconThenStartSendsTheStudioIntoTheCamera) {
    const auto launched = Steady::now();
    auto app = launch();
    ASSERT_TRUE(app->waitFor("tray available", 10s)) << app->text();
    // The icon is embedded once the tray has grown to hold it.
    ASSERT_TRUE(eventually(
        [] {
            return vsc::test::outputOf("/usr/bin/xwininfo", {"-root", "-tree"})
                       .find("(\"vendaroscope-virtualcam\" \"vendaroscope-virtualcam\")  22x22") !=
                   std::string::npos;
        },
        10s));
    const auto iconShown = Steady::now();
    ASSERT_TRUE(app->waitFor("Program URL from PCR « Test Studio (TS) »", 20s)) << app->text();

    auto shown = openPanel(*app);
    ASSERT_TRUE(shown) << app->text();
    std::smatch at;
    ASSERT_TRUE(std::regex_search(shown->text, at, std::regex("start (\\d+),(\\d+)")));
    // The panel opens below the icon, inside the screen.
    std::smatch frame;
    ASSERT_TRUE(
        std::regex_search(shown->text, frame, std::regex("at (-?\\d+),(-?\\d+) size (\\d+)x")));
    EXPECT_GE(std::stoi(frame[2]), 24);
    EXPECT_LE(std::stoi(frame[1]) + std::stoi(frame[3]), kScreenWidth);

    vsc::test::Viewer viewer;
    xdotool({"mousemove", at[1].str(), at[2].str(), "click", "1"});
    ASSERT_TRUE(viewer.waitForLook(Look::Bars, 20s)) << app->text();
    EXPECT_TRUE(app->has("ffmpeg started"));

    // What a person sees: the panel open while sending, with the preview.
    std::this_thread::sleep_for(1500ms);
    const fs::path shot = fs::path(VSC_BINARY_DIR) / "tests" / "tray-panel-sending.png";
    vsc::test::runProgram("/bin/sh",
                          {"-c", "xwd -root -silent | convert xwd:- '" + shot.string() + "'"});
    const long openKiB = residentKiB(app->program().pid());
    // Closed by a click elsewhere, as a popover is.
    xdotool({"mousemove", "200", "400", "click", "1"});
    std::this_thread::sleep_for(1500ms);
    const long closedKiB = residentKiB(app->program().pid());
    EXPECT_GT(viewer.count(), 0u);
    std::printf(
        "figures: launch to tray icon %lld ms; resident while sending: panel open %ld KiB, "
        "closed %ld KiB\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(iconShown - launched).count()),
        openKiB, closedKiB);
    RecordProperty(
        "launchToTrayIconMs",
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(iconShown - launched).count()));
}

// The panel stays open while the studio drops its programme for 12 s and
// serves it again: it tells the wait and the return, the desktop is told of
// the loss and of the return, and the call's picture goes from the studio to
// the slate and back without a freeze or anyone touching the application.
TEST_F(TrayApp, TheOpenPanelFollowsTheStudioDroppingItsProgrammeAndServingItAgain) {
    const auto began = Steady::now();
    vsc::test::runProgram("/usr/bin/dunstctl", {"history-clear"});
    auto app = launch();
    ASSERT_TRUE(app->waitFor("Program URL from PCR « Test Studio (TS) »", 20s)) << app->text();
    auto shown = openPanel(*app);
    ASSERT_TRUE(shown) << app->text();
    std::smatch at;
    ASSERT_TRUE(std::regex_search(shown->text, at, std::regex("start (\\d+),(\\d+)")));
    vsc::test::Viewer viewer;
    xdotool({"mousemove", at[1].str(), at[2].str(), "click", "1"});
    ASSERT_TRUE(viewer.waitForLook(Look::Bars, 20s)) << app->text();
    ASSERT_TRUE(app->waitFor("panel Program: Received · 30 fps", 10s))
        << app->text();

    const auto dropped = Steady::now();
    studio_->control("drop?path=STAGE_1");
    ASSERT_TRUE(viewer.waitForLook(Look::Slate, 5s)) << app->text();
    ASSERT_TRUE(app->waitFor("panel Program: Waiting for the program…", 5s, dropped))
        << app->text();
    EXPECT_TRUE(desktopWasTold("Program lost", 15s));
    std::this_thread::sleep_until(dropped + 12s);

    const auto restored = Steady::now();
    studio_->control("restore?path=STAGE_1");
    ASSERT_TRUE(viewer.waitForLookSince(Look::Bars, restored, 20s))
        << app->text();
    // The panel says so while still open (its lines are printed only while
    // it shows, and nothing clicked it open again).
    EXPECT_TRUE(app->waitFor("panel Program: Received · ", 10s, restored)) << app->text();
    EXPECT_TRUE(desktopWasTold("Program is back", 5s));
    // The call's picture never stopped: the slate filled the gap at 30 fps.
    EXPECT_LT(viewer.widestGap(dropped), 0.2);
    EXPECT_LT(Steady::now() - began, 60s);
}

TEST_F(TrayApp, ASecondLaunchRaisesTheRunningSettingsWindowAndEnds) {
    auto app = launch();
    ASSERT_TRUE(app->waitFor("tray available", 10s)) << app->text();
    Program second(kApp, {}, {{"XDG_CONFIG_HOME", config_}}, true);
    const auto started = Steady::now();
    int status = 0;
    ASSERT_TRUE(eventually([&] { return !second.running(); }, 10s));
    status = second.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(Steady::now() - started, 5s);
    ASSERT_TRUE(app->waitFor("window settings tab=General", 5s)) << app->text();
    EXPECT_NE(vsc::test::outputOf("/usr/bin/xdotool", {"search", "--onlyvisible", "--name",
                                                       "^Vendaroscope Virtual Webcam Settings$"}),
              "");
}

TEST_F(TrayApp, TheMicrophonesNotificationOpensTheSettingsOnMaintenance) {
    // The session has no virtual microphone: the application says so once.
    // Notifications of the instances before are gone with them.
    vsc::test::runProgram("/usr/bin/dunstctl", {"close-all"});
    auto app = launch();
    ASSERT_TRUE(app->waitFor("tray available", 10s)) << app->text();
    ASSERT_TRUE(eventually(
        [] {
            return vsc::test::outputOf("/usr/bin/dunstctl", {"count", "displayed"})
                       .find_first_of("123456789") == 0;
        },
        10s));
    vsc::test::runProgram("/usr/bin/dunstctl", {"action", "0"});
    ASSERT_TRUE(app->waitFor("notification-click microphone-", 5s)) << app->text();
    ASSERT_TRUE(app->waitFor("window settings tab=Maintenance", 5s)) << app->text();
}

}  // namespace
