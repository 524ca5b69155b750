// The camera as the application installs it, for a user who has nothing
// installed: a user service (supervised here, where no systemd user manager
// runs), seen by a video application through GStreamer's pipewiresrc, kept
// on the camera through the camera program's death, the audio server's
// restart and a repair.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/camera/system_camera.h"
#include "support/camera_viewer.h"
#include "support/desktop_session.h"
#include "support/headless_host.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using vsc::test::eventually;
using vsc::test::HeadlessHost;
using vsc::test::Look;
using vsc::test::Viewer;

namespace {

const std::string kWaiting = "sink-status Waiting for the camera “Vendaroscope Program”…";
const std::string kConnected = "sink-status Connected to “Vendaroscope Program”";
const std::string kOk = "camera-state Installed · v";

double millisecondsSince(Steady::time_point from) {
    return std::chrono::duration<double, std::milli>(Steady::now() - from).count();
}

class CameraService : public ::testing::Test {
  protected:
    void TearDown() override {
        vsc::test::endLeftovers("vsc-headless", session.dir() + "/runtime");
    }
    std::string config() const { return session.configHome(); }
    // The camera program's process under its supervisor, if one runs.
    pid_t cameraProcess() const {
        auto found = vsc::test::sessionProcesses("vendaroscope-camera", session.dir() + "/runtime");
        return found.empty() ? 0 : found.front();
    }
    std::string installed() const {
        return session.dir() + "/data/vendaroscope-virtualcam/com.vendaroscope.virtualcam.camera";
    }
    std::string preferences() {
        return "{\"programURL\": \"" + studio.url("STAGE_1") + "\", \"setupCompleted\": true}";
    }

    vsc::test::DesktopSession session;
    vsc::test::TestStudio studio;
};

// Installed from nothing, the camera is there for video apps (the slate while
// nothing is sent, the studio while sending); when its program dies, and when
// the user's audio server restarts, the picture comes back by itself.
TEST_F(CameraService, InstalledItStaysThereThroughItsProgramsDeathAndAServerRestart) {
    HeadlessHost host(config(), preferences());
    ASSERT_TRUE(host.waitFor("camera-state Not installed"));
    auto asked = Steady::now();
    host.send("install-camera");
    ASSERT_TRUE(host.waitFor(kOk, 20s)) << host.text();
    host.send("repair-audio");
    ASSERT_TRUE(host.waitFor("audio-driver Installed · v", 20s)) << host.text();
    EXPECT_TRUE(vsc::systemListsCamera());
    std::printf("figure: install-camera -> camera listed and state ok: %.0f ms\n",
                millisecondsSince(asked));
    {
        Viewer viewer;
        ASSERT_TRUE(viewer.waitForLook(Look::Slate, 10s));
    }

    host.send("start");
    ASSERT_TRUE(host.waitFor(kConnected)) << host.text();
    auto viewer = std::make_unique<Viewer>();
    ASSERT_TRUE(viewer->waitForLook(Look::Bars, 20s)) << host.text();

    // The camera program dies: the sink waits, the service starts the program
    // again, the sink reconnects, the reader sees the programme again.
    pid_t camera = cameraProcess();
    ASSERT_GT(camera, 0);
    auto killed = Steady::now();
    kill(camera, SIGKILL);
    ASSERT_TRUE(host.waitFor(kWaiting, 10s, killed)) << host.text();
    ASSERT_TRUE(host.waitFor(kConnected, 10s, killed)) << host.text();
    // This reader went with the camera's old nodes; a call opens it again.
    viewer = std::make_unique<Viewer>();
    ASSERT_TRUE(viewer->waitForLook(Look::Bars, 10s));
    double back = millisecondsSince(killed);
    EXPECT_LT(back, 5000);
    std::printf("figure: camera program killed -> programme back at a reader: %.0f ms\n", back);

    // The user's audio server restarts: every connection to it goes.
    viewer.reset();
    auto restarted = Steady::now();
    ASSERT_EQ(
        vsc::test::runProgram("/bin/bash", {std::string(VSC_SOURCE_DIR) + "/scripts/session.sh",
                                            "restart-audio", session.dir()}),
        0);
    ASSERT_TRUE(host.waitFor(kConnected, 20s, restarted)) << host.text();
    viewer = std::make_unique<Viewer>();
    ASSERT_TRUE(viewer->waitForLook(Look::Bars, 20s)) << host.text();
    std::printf("figure: audio server restarted -> programme back at a reader: %.0f ms\n",
                millisecondsSince(restarted));
    // The sound too: the microphone's service publishes it anew, the output
    // finds it and plays into it again.
    EXPECT_TRUE(eventually(
        [] {
            std::string peak = vsc::test::outputOf(
                "/bin/sh", {"-c",
                            "timeout -s INT 1.5 pw-record --target vendaroscope_program_audio_mic "
                            "--rate 48000 --channels 1 --format f32 - | od -An -f -v | "
                            "awk 'function a(x){return x<0?-x:x} {for(i=1;i<=NF;i++) if "
                            "(a($i)>m) m=a($i)} END {print m+0}'"});
            return std::atof(peak.c_str()) > 0.4;
        },
        20s))
        << host.text();
    std::printf("figure: audio server restarted -> tone back in the microphone: %.0f ms\n",
                millisecondsSince(restarted));
}

// A camera program that never shows the camera: after 8 s the state says so,
// the system-wide check finds no camera, and the repair restarts the service
// and reopens the application, which resumes sending.
TEST_F(CameraService, ACameraThatNeverStartsIsRepairedAndTheAppReopensSending) {
    auto host = std::make_unique<HeadlessHost>(config(), preferences());
    host->send("install-camera");
    ASSERT_TRUE(host->waitFor(kOk, 20s)) << host->text();
    host->send("start");
    ASSERT_TRUE(host->waitFor("stats inputFps=")) << host->text();

    // The installed program is broken: it runs, but never publishes.
    fs::path program = installed() + "/vendaroscope-camera";
    fs::path kept = session.dir() + "/vendaroscope-camera.good";
    fs::copy_file(program, kept);
    {
        fs::path broken = installed() + "/broken";
        std::ofstream(broken) << "#!/bin/sh\nexec sleep 1000\n";
        fs::permissions(broken, fs::perms::owner_all);
        fs::rename(broken, program);
    }
    kill(cameraProcess(), SIGKILL);  // its service starts the broken one
    ASSERT_TRUE(host->waitFor(
        "camera-state Installed v0.1.0 (1), but the camera service has not started the camera",
        30s))
        << host->text();
    ASSERT_TRUE(host->waitFor(
        "Camera: the system has not started it — Repair restarts the camera service", 20s))
        << host->text();

    fs::rename(kept, program);  // mended, as a service restart would find it
    host->send("repair-camera");
    ASSERT_TRUE(host->waitFor("Camera service restarted", 20s)) << host->text();
    ASSERT_TRUE(host->waitFor("The app reopens once the system shows the camera…")) << host->text();
    // The reopened host resumes sending.
    ASSERT_TRUE(host->waitFor("Resuming after the camera repair", 30s)) << host->text();
    ASSERT_TRUE(host->waitFor("stats inputFps=30", 20s,
                              host->waitFor("Resuming after the camera repair")->at))
        << host->text();
}

// An older camera installed gives "outdated"; installing replaces it, and
// uninstalling leaves nothing behind.
TEST_F(CameraService, AnOlderCameraIsReplacedAndUninstallingLeavesNothing) {
    {
        HeadlessHost host(config(), preferences());
        host.send("install-camera");
        ASSERT_TRUE(host.waitFor(kOk, 20s)) << host.text();
    }
    std::ofstream(installed() + "/manifest.json")
        << R"({"CFBundleShortVersionString": "0.0.9", "CFBundleVersion": "7"})";
    HeadlessHost host(config());
    ASSERT_TRUE(host.waitFor(
        "camera-state Installed v0.0.9 (7), this app ships v0.1.0 (1) — click Install / update"))
        << host.text();
    host.send("install-camera");
    ASSERT_TRUE(host.waitFor("Camera extension: replacing v0.0.9 (7) with v0.1.0 (1)"))
        << host.text();
    ASSERT_TRUE(host.waitFor("camera-state Installed · v0.1.0 (1) · visible to apps", 20s))
        << host.text();

    host.send("uninstall-camera");
    ASSERT_TRUE(host.waitFor("camera-state Not installed", 20s)) << host.text();
    EXPECT_FALSE(fs::exists(installed()));
    EXPECT_TRUE(fs::is_empty(session.dir() + "/data/vendaroscope-virtualcam/services"));
    EXPECT_TRUE(eventually([&] { return cameraProcess() == 0; }, 5s));
    EXPECT_TRUE(eventually([] { return !vsc::test::nodeListed("Vendaroscope Program"); }, 5s));
}

}  // namespace
