// Real clients of the camera and the microphone. Chromium on a virtual
// display reaches the camera through the desktop's camera portal
// (xdg-desktop-portal with its GTK backend) and the microphone through
// PipeWire's PulseAudio server, as a user's browser does; a web page of ours
// (browser/call.html) opens both devices and reports what it sees and hears
// on the browser's console. A program that knows only V4L2 reads the camera
// through pw-v4l2 meanwhile.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "support/camera_viewer.h"
#include "support/desktop_session.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using vsc::test::eventually;
using vsc::test::Program;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool alive(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto state = stat.rfind(") ");
    return state != std::string::npos && stat[state + 2] != 'Z' && stat[state + 2] != 'X';
}

// Ends a process that is not our child (the bus started it): SIGTERM, then
// SIGKILL if it is still there after a few seconds.
void endProcess(pid_t pid) {
    if (pid <= 0 || !alive(pid)) return;
    kill(pid, SIGTERM);
    if (!eventually([&] { return !alive(pid); }, 5s)) {
        kill(pid, SIGKILL);
        eventually([&] { return !alive(pid); }, 2s);
    }
}

// A virtual display, made this process's DISPLAY while it lasts.
class Display {
  public:
    Display() {
        xvfb_ = std::make_unique<Program>(
            "/usr/bin/Xvfb",
            std::vector<std::string>{"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                                     "1280x1024x24"},
            std::vector<std::pair<std::string, std::string>>{}, true);
        std::string number;
        char c;
        while (read(xvfb_->stdoutFd(), &c, 1) == 1 && c != '\n') number += c;
        if (number.empty()) throw std::runtime_error("Xvfb did not start");
        name_ = ":" + number;
        setenv("DISPLAY", name_.c_str(), 1);
    }
    ~Display() { unsetenv("DISPLAY"); }
    const std::string& name() const { return name_; }

    // The whole screen as a PNG.
    bool screenshot(const fs::path& file) {
        return vsc::test::runProgram(
                   "/usr/bin/timeout",
                   {"20", "/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "x11grab",
                    "-draw_mouse", "0", "-video_size", "1280x1024", "-i", name_, "-frames:v", "1",
                    "-y", file.string()}) == 0;
    }

  private:
    std::unique_ptr<Program> xvfb_;
    std::string name_;
};

std::string busCall(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--session", "--print-reply=literal"};
    all.insert(all.end(), args.begin(), args.end());
    return vsc::test::outputOf("/usr/bin/dbus-send", all);
}

// The desktop's portal as the session bus starts it on demand. The camera
// portal only exists once its GTK backend runs, and that starts only when the
// bus knows the display. The user's answer to the portal's one-time "Turn On
// Camera?" question is given beforehand through the permission store the
// portal reads it from (table "devices", entry "camera", "" for applications
// that are not sandboxed), so no dialog comes up.
class CameraPortal {
  public:
    explicit CameraPortal(const std::string& display) {
        if (vsc::test::runProgram("/usr/bin/dbus-update-activation-environment",
                                  {"DISPLAY=" + display}) != 0)
            throw std::runtime_error("the bus did not take the display");
        busCall({"--dest=org.freedesktop.impl.portal.PermissionStore",
                 "/org/freedesktop/impl/portal/PermissionStore",
                 "org.freedesktop.impl.portal.PermissionStore.SetPermission", "string:devices",
                 "boolean:true", "string:camera", "string:", "array:string:yes"});
    }
    // What the permission store holds for the camera now.
    std::string cameraPermission() {
        return busCall({"--dest=org.freedesktop.impl.portal.PermissionStore",
                        "/org/freedesktop/impl/portal/PermissionStore",
                        "org.freedesktop.impl.portal.PermissionStore.Lookup", "string:devices",
                        "string:camera"});
    }
    // The services the bus started for the portal end with the test, not
    // whenever they notice that the bus has gone.
    ~CameraPortal() {
        for (const char* name :
             {"org.freedesktop.portal.Desktop", "org.freedesktop.portal.Documents",
              "org.freedesktop.impl.portal.desktop.gtk",
              "org.freedesktop.impl.portal.PermissionStore"}) {
            std::string answer = busCall({"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus.GetConnectionUnixProcessID",
                                          std::string("string:") + name});
            auto at = answer.find("uint32 ");
            if (at != std::string::npos) endProcess(std::stoi(answer.substr(at + 7)));
        }
    }
};

// Chromium with PipeWire cameras enabled, showing the call page. Its log
// (with the page's console) goes to a file.
class Browser {
  public:
    Browser(const fs::path& dir, const std::string& page) : dir_(dir), log_(dir / "chromium.log") {
        // Its files, temporary ones too, stay in the test's folder.
        fs::create_directories(dir_ / "home");
        fs::create_directories(dir_ / "tmp");
        std::vector<std::string> args = {"--user-data-dir=" + (dir_ / "profile").string(),
                                         "--no-first-run",
                                         "--no-default-browser-check",
                                         "--disable-default-apps",
                                         "--disable-sync",
                                         "--disable-background-networking",
                                         "--disable-component-update",
                                         "--password-store=basic",
                                         "--test-type",
                                         "--disable-gpu",
                                         "--ozone-platform=x11",
                                         "--autoplay-policy=no-user-gesture-required",
                                         "--enable-features=WebRtcPipeWireCamera",
                                         "--use-fake-ui-for-media-stream",
                                         "--enable-logging",
                                         "--log-file=" + log_.string(),
                                         "--v=0",
                                         "--window-position=0,0",
                                         "--window-size=1280,1024",
                                         "file://" + page};
        // Chromium's own sandbox refuses to run as root.
        if (geteuid() == 0) args.insert(args.begin(), "--no-sandbox");
        program_ = std::make_unique<Program>(
            "/usr/bin/chromium", args,
            std::vector<std::pair<std::string, std::string>>{{"HOME", (dir_ / "home").string()},
                                                             {"TMPDIR", (dir_ / "tmp").string()}},
            false, false, (dir_ / "chromium.out").string());
    }
    // Chromium's helper processes go with it; any that did not are ended.
    ~Browser() {
        program_->stop(SIGTERM);
        const std::string profile = "--user-data-dir=" + (dir_ / "profile").string();
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::string cmdline = readFile(entry.path() / "cmdline");
            if (cmdline.find(profile) != std::string::npos) endProcess(std::stoi(name));
        }
    }

    // The page's reports so far, oldest first.
    std::vector<json> reports() const {
        std::vector<json> found;
        std::istringstream lines(readFile(log_));
        std::string line;
        const std::string mark = "\"vsc-browser ";
        while (std::getline(lines, line)) {
            auto from = line.find(mark);
            auto to = line.rfind("\", source: ");
            if (from == std::string::npos || to == std::string::npos || to < from) continue;
            from += mark.size();
            json report = json::parse(line.substr(from, to - from), nullptr, false);
            if (!report.is_discarded()) found.push_back(report);
        }
        return found;
    }
    std::string log() const { return readFile(log_); }

  private:
    fs::path dir_;
    fs::path log_;
    std::unique_ptr<Program> program_;
};

bool listed(const json& report, const std::string& label) {
    for (const auto& l : report.value("labels", json::array()))
        if (l == label) return true;
    return false;
}

// A call in Chromium: the browser lists the programme's camera and
// microphone, gets the studio's picture at the camera's full size and hears
// the studio's tone at its level, with no question asked of the user; a
// V4L2-only program gets the same picture.
TEST(RealClients, ChromiumShowsAndHearsTheProgrammeAndAV4l2ProgramSeesIt) {
    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    vsc::test::DesktopSession session;
    const fs::path dir = session.dir();
    Display display;
    CameraPortal portal(display.name());
    ASSERT_NE(portal.cameraPermission().find("yes"), std::string::npos)
        << portal.cameraPermission();

    // Browsers play and record sound through a PulseAudio server.
    Program pulse("/usr/bin/pipewire-pulse", {});
    const std::string runtime = getenv("XDG_RUNTIME_DIR");
    ASSERT_TRUE(eventually([&] { return fs::exists(runtime + "/pulse/native"); }, 10s));

    Program microphone(
        std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-microphone",
        {std::string(VSC_SOURCE_DIR) + "/resources/pipewire/vendaroscope-program-audio.conf"});
    Program camera(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera", {});
    ASSERT_TRUE(eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
    ASSERT_TRUE(
        eventually([] { return vsc::test::nodeListed("vendaroscope_program_audio_mic"); }, 10s));

    vsc::test::TestStudio studio;
    fs::create_directories(dir / "host-config" / "vendaroscope-virtualcam");
    std::ofstream(dir / "host-config" / "vendaroscope-virtualcam" / "preferences.json")
        << "{\"programURL\": \"" << studio.url("STAGE_1")
        << "\", \"setupCompleted\": true, \"resumeSending\": true}";
    Program host(std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", {},
                 {{"XDG_CONFIG_HOME", (dir / "host-config").string()}}, false, true,
                 (dir / "host.log").string());
    auto hostLog = [&] { return readFile(dir / "host.log"); };
    ASSERT_TRUE(eventually([&] { return hostLog().find("receiving=1") != std::string::npos; }, 20s))
        << hostLog();
    std::printf("browser call: sending after %.1f s\n", seconds());

    Browser browser(dir / "browser", std::string(VSC_SOURCE_DIR) + "/tests/e2e/browser/call.html");
    // Until the page has seen the bars and heard sound for a while.
    auto settled = [&] {
        auto reports = browser.reports();
        if (reports.size() < 3) return false;
        const json& last = reports.back();
        return last.value("look", "") == "bars" && last.value("rms", 0.0) > 0.1 &&
               reports[reports.size() - 3].value("look", "") == "bars";
    };
    bool ok = eventually(settled, 30s);
    std::printf("browser call: page settled after %.1f s\n", seconds());
    EXPECT_TRUE(display.screenshot(dir / "browser.png"));
    if (const char* proof = getenv("VSC_PROOF_DIR"))
        fs::copy_file(dir / "browser.png", fs::path(proof) / "browser.png",
                      fs::copy_options::overwrite_existing);
    auto reports = browser.reports();
    ASSERT_TRUE(ok) << (reports.empty() ? browser.log().substr(0, 8000) : reports.back().dump());

    const json& first = reports.front();
    const json& last = reports.back();
    EXPECT_TRUE(listed(first, "videoinput:Vendaroscope Program")) << first.dump();
    EXPECT_TRUE(listed(first, "audioinput:Vendaroscope Program Audio")) << first.dump();
    EXPECT_EQ(last["errors"], json::array()) << last.dump();
    EXPECT_EQ(last["videoTrack"], "Vendaroscope Program");
    EXPECT_EQ(last["audioTrack"], "Vendaroscope Program Audio");

    // The studio's picture, at the camera's size, moving.
    EXPECT_EQ(last["look"], "bars") << last.dump();
    EXPECT_EQ(last["width"], 1920);
    EXPECT_EQ(last["height"], 1080);
    EXPECT_EQ(last["settings"]["width"], 1920);
    EXPECT_EQ(last["settings"]["height"], 1080);
    const json& earlier = reports[reports.size() - 3];
    EXPECT_GE(last.value("frames", 0) - earlier.value("frames", 0), 5) << last.dump();
    std::printf("browser call: %.1f frames/s delivered, %.1f painted\n",
                (last.value("delivered", 0) - earlier.value("delivered", 0)) / 2.0,
                (last.value("frames", 0) - earlier.value("frames", 0)) / 2.0);

    // The studio's 1 kHz tone at its level (a sine of peak 0.5), untouched by
    // the browser's sound processing.
    EXPECT_NEAR(last.value("frequency", 0.0), 1000.0, 5.0) << last.dump();
    EXPECT_NEAR(last.value("rms", 0.0), 0.354, 0.05) << last.dump();
    EXPECT_NEAR(last.value("peak", 0.0), 0.5, 0.06) << last.dump();
    // Without asking: the permission given beforehand stands.
    EXPECT_NE(portal.cameraPermission().find("yes"), std::string::npos);

    // A V4L2-only program started with pw-v4l2 finds the camera as
    // /dev/video0, while the browser goes on reading it, and gets the same
    // picture in the camera's own format.
    const fs::path frame = dir / "v4l2.nv12";
    EXPECT_EQ(
        vsc::test::runProgram("/usr/bin/timeout",
                              {"20", "/usr/bin/pw-v4l2", "/usr/bin/ffmpeg", "-hide_banner",
                               "-loglevel", "error", "-f", "v4l2", "-i", "/dev/video0", "-frames:v",
                               "1", "-f", "rawvideo", "-pix_fmt", "nv12", "-y", frame.string()}),
        0);
    const std::string picture = readFile(frame);
    ASSERT_EQ(picture.size(), 1920u * 1080 * 3 / 2);
    EXPECT_EQ(vsc::test::classify(reinterpret_cast<const std::uint8_t*>(picture.data()) +
                                  vsc::test::kBandTop * 1920),
              vsc::test::Look::Bars);
}

}  // namespace
