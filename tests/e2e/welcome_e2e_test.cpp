// A first launch as a new user has it, on a virtual display with a tray
// host: nothing stored, so the welcome assistant opens; a pointer goes
// through it (install the camera, install the microphone, find and pick
// the announced studio, Done), then opens the panel and clicks Start. A
// video application (pipewiresrc) sees the studio's picture on the camera,
// and pw-record hears the studio's tone on the microphone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <thread>

#include "support/camera_viewer.h"
#include "support/desktop_session.h"
#include "support/headless_host.h"
#include "support/sound.h"
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
constexpr int kScreenWidth = 1024;

void clickAt(const std::string& x, const std::string& y) {
    vsc::test::runProgram("/usr/bin/xdotool", {"mousemove", x, y, "click", "1"});
}

// Clicks the assistant's button with that label, from the first report of
// it after `since`, and gives the time just before the click (what shows
// next is reported after it); none when the button did not show in time.
std::optional<Steady::time_point> clickButton(vsc::test::HeadlessHost& app,
                                              const std::string& label, Steady::time_point since,
                                              std::chrono::milliseconds limit = 20s) {
    auto line = app.waitFor("welcome button " + label + " at ", limit, since);
    if (!line) return std::nullopt;
    std::smatch at;
    const std::string text = line->text;
    if (!std::regex_search(text, at, std::regex(" at (\\d+),(\\d+)$"))) return std::nullopt;
    const auto before = Steady::now();
    clickAt(at[1], at[2]);
    return before;
}

TEST(FirstLaunch, TheAssistantEndsWithTheProgrammeInTheCameraAndTheMicrophone) {
    const auto began = Steady::now();
    vsc::test::DesktopSession session(true);
    Program xvfb("/usr/bin/Xvfb",
                 {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                  std::to_string(kScreenWidth) + "x700x24"},
                 {}, true);
    std::string number;
    char c;
    while (read(xvfb.stdoutFd(), &c, 1) == 1 && c != '\n') number += c;
    ASSERT_FALSE(number.empty());
    setenv("DISPLAY", (":" + number).c_str(), 1);
    Program trayer("/usr/bin/trayer", {"--edge", "top", "--align", "right", "--widthtype",
                                       "request", "--height", "24", "--SetDockType", "true"});
    Program dunst("/usr/bin/dunst", {});
    vsc::test::TestStudio studio(1280, 720, 8554, 0,
                                 {"--announce", "Studio One", "--pcr-name", "Test Studio",
                                  "--pcr-code", "TS", "--pcr-sid", "1", "--pcr-stage", "STAGE_1"});

    // Nothing stored: the assistant, and no services yet.
    const std::string config = session.dir() + "/app-config";
    vsc::test::HeadlessHost app(config, "", kApp);
    ASSERT_TRUE(app.waitFor("window welcome", 10s)) << app.text();
    EXPECT_FALSE(app.has("Program URL from PCR"));

    // The camera: Install, and the page turns ready by itself.
    auto clicked = clickButton(app, "Install camera", {});
    ASSERT_TRUE(clicked) << app.text();
    clicked = clickButton(app, "Continue", *clicked, 30s);
    ASSERT_TRUE(clicked) << app.text();
    EXPECT_TRUE(vsc::test::nodeListed("Vendaroscope Program"));

    // The microphone: Repair installs it as a user service.
    const auto microphonePage = *clicked;
    clicked = clickButton(app, "Repair microphone", microphonePage);
    ASSERT_TRUE(clicked) << app.text();
    ASSERT_TRUE(eventually(
        [] { return vsc::test::nodeListed("vendaroscope_program_audio_mic"); }, 20s));
    ASSERT_TRUE(app.waitFor("Audio driver: Installed · v", 20s, *clicked)) << app.text();
    clicked = clickButton(app, "Continue", microphonePage);
    ASSERT_TRUE(clicked) << app.text();

    // The studio: found on the network, picked in the list.
    clicked = clickButton(app, "Find my studio", *clicked);
    ASSERT_TRUE(clicked) << app.text();
    const auto searching = *clicked;
    clicked = clickButton(app, "Test Studio", searching);
    ASSERT_TRUE(clicked) << app.text();
    ASSERT_TRUE(app.waitFor("Program URL from PCR « Test Studio (TS) »", 10s)) << app.text();
    clicked = clickButton(app, "Continue", searching);
    ASSERT_TRUE(clicked) << app.text();
    ASSERT_TRUE(clickButton(app, "Done", *clicked)) << app.text();
    ASSERT_TRUE(eventually(
        [&] {
            std::ifstream prefs(config + "/vendaroscope-virtualcam/preferences.json");
            std::string all((std::istreambuf_iterator<char>(prefs)), {});
            return all.find("\"setupCompleted\": true") != std::string::npos;
        },
        5s));
    // The login item, left on: an autostart entry.
    EXPECT_TRUE(fs::exists(config + "/autostart/vendaroscope-virtualcam.desktop"));

    // Then as every day: the tray icon, Start.
    clickAt(std::to_string(kScreenWidth - 12), "12");
    auto shown = app.waitFor("window panel at", 5s);
    ASSERT_TRUE(shown) << app.text();
    std::smatch start;
    const std::string panelLine = shown->text;
    ASSERT_TRUE(std::regex_search(panelLine, start, std::regex("start (\\d+),(\\d+)")));
    vsc::test::Viewer viewer;
    clickAt(start[1], start[2]);
    ASSERT_TRUE(viewer.waitForLook(Look::Bars, 20s)) << app.text();

    // What a call hears while it reads the camera.
    const fs::path wav = fs::path(session.dir()) / "microphone.wav";
    {
        Program record("/usr/bin/pw-record",
                       {"--target", "vendaroscope_program_audio_mic", "--rate", "48000",
                        "--channels", "2", "--format", "f32", wav.string()});
        std::this_thread::sleep_for(3s);
        record.stop(SIGINT);
    }
    std::vector<float> left = vsc::test::leftChannel(wav);
    ASSERT_GT(left.size(), 48000u);
    left.erase(left.begin(), left.begin() + 24000);  // the link is made in the first half second
    const vsc::test::Sound sound = vsc::test::measure(left);
    EXPECT_NEAR(sound.frequency, 1000, 20);
    EXPECT_GT(sound.peak, 0.1f);
    std::printf("first launch to the programme in the camera: %lld s; tone %.0f Hz, peak %.2f\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(Steady::now() - began).count()),
                sound.frequency, sound.peak);
}

}  // namespace
