// The camera as a video application sees it: the camera program on a private
// PipeWire session, the headless host sending the test studio's programme
// into it, and GStreamer's pipewiresrc reading it.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "support/camera_viewer.h"
#include "support/desktop_session.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using vsc::test::eventually;
using vsc::test::Look;
using vsc::test::Program;
using vsc::test::Viewer;

namespace {

class CameraWithStudio : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        session_ = new vsc::test::DesktopSession();
        camera_ = new Program(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera", {});
        ASSERT_TRUE(eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
    }
    static void TearDownTestSuite() {
        delete camera_;
        delete session_;
    }

    // The headless host, resuming sending to `url` as if it had been on at exit.
    std::unique_ptr<Program> startHost(const std::string& url) {
        std::string config = session_->dir() + "/host-config";
        fs::create_directories(config + "/vendaroscope-virtualcam");
        std::ofstream(config + "/vendaroscope-virtualcam/preferences.json")
            << "{\"programURL\": \"" << url
            << "\", \"setupCompleted\": true, \"resumeSending\": true}";
        hostLog_ = session_->dir() + "/host.log";
        return std::make_unique<Program>(
            std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", std::vector<std::string>{},
            std::vector<std::pair<std::string, std::string>>{{"XDG_CONFIG_HOME", config}}, false,
            true);
    }

    static vsc::test::DesktopSession* session_;
    static Program* camera_;
    std::string hostLog_;
};
vsc::test::DesktopSession* CameraWithStudio::session_ = nullptr;
Program* CameraWithStudio::camera_ = nullptr;

TEST_F(CameraWithStudio, WithoutAProducerTheSlateComesAtThirtyFramesASecond) {
    Viewer viewer;
    ASSERT_TRUE(viewer.waitFor(100, 15s));
    auto frames = viewer.frames();
    EXPECT_EQ(frames.front().look, Look::Slate);  // from the very first frame
    for (const auto& f : frames) ASSERT_EQ(f.look, Look::Slate);
    EXPECT_NEAR(viewer.rate(10), 30.0, 0.5);
}

TEST_F(CameraWithStudio, TheStudioPictureThenTheSlateOnceTheStudioDrops) {
    vsc::test::TestStudio studio;
    auto host = startHost(studio.url("STAGE_1"));
    Viewer viewer;
    ASSERT_TRUE(viewer.waitForLook(Look::Bars, 20s));
    std::size_t first = viewer.count();
    ASSERT_TRUE(viewer.waitFor(first + 91, 10s));
    EXPECT_NEAR(viewer.rate(first), 30.0, 0.5);
    auto before = viewer.frames();
    for (std::size_t i = first; i < before.size(); ++i) ASSERT_EQ(before[i].look, Look::Bars) << i;

    // A second reader at the same time gets the picture too.
    {
        Viewer second(30);
        ASSERT_TRUE(second.waitFor(30, 10s));
        EXPECT_EQ(second.frames().back().look, Look::Bars);
    }

    auto dropped = Steady::now();
    studio.control("drop?path=STAGE_1");
    ASSERT_TRUE(viewer.waitForLook(Look::Slate, 10s));
    auto frames = viewer.frames();
    Steady::time_point lastBars{}, firstSlate{};
    for (const auto& f : frames) {
        if (f.at < dropped) continue;
        if (f.look == Look::Bars) lastBars = f.at;
        if (f.look == Look::Slate && firstSlate == Steady::time_point{}) firstSlate = f.at;
    }
    // The last picture is held for just under two seconds, then the slate.
    double held = std::chrono::duration<double>(firstSlate - dropped).count();
    EXPECT_GT(held, 1.7);
    EXPECT_LT(held, 2.4);
    EXPECT_LT(lastBars, firstSlate);
    // The cadence never stopped: no gap in the frames across the drop.
    double widest = 0;
    for (std::size_t i = frames.size() - 60; i < frames.size(); ++i)
        widest = std::max(widest,
                          std::chrono::duration<double>(frames[i].at - frames[i - 1].at).count());
    EXPECT_LT(widest, 0.1);
    std::size_t last = viewer.count();
    ASSERT_TRUE(viewer.waitFor(last + 91, 10s));
    EXPECT_NEAR(viewer.rate(last), 30.0, 0.5);
}

TEST_F(CameraWithStudio, KillingTheHostLeavesTheSlate) {
    vsc::test::TestStudio studio;
    auto host = startHost(studio.url("STAGE_2"));
    Viewer viewer;
    ASSERT_TRUE(viewer.waitForLook(Look::Bars, 20s));
    host->stop(SIGKILL);
    auto killed = Steady::now();
    ASSERT_TRUE(viewer.waitForLook(Look::Slate, 5s));
    // The producer left: the sink stopped, so the slate comes at once.
    EXPECT_LT(std::chrono::duration<double>(Steady::now() - killed).count(), 1.0);
    std::size_t n = viewer.count();
    ASSERT_TRUE(viewer.waitFor(n + 30, 5s));
    EXPECT_EQ(viewer.frames().back().look, Look::Slate);
}

}  // namespace

namespace {

// A logout ends the camera program while the application feeds it and a call
// reads it: it must leave cleanly, every time. The frame timer ticks on its
// own thread, so a tick lands in the moment of leaving only now and then:
// hence several rounds.
TEST(CameraProgram, EndsCleanlyWhileFedAndRead) {
    vsc::test::DesktopSession session;
    vsc::test::TestStudio studio;
    std::string config = session.dir() + "/host-config";
    fs::create_directories(config + "/vendaroscope-virtualcam");
    std::ofstream(config + "/vendaroscope-virtualcam/preferences.json")
        << "{\"programURL\": \"" << studio.url("STAGE_1")
        << "\", \"setupCompleted\": true, \"resumeSending\": true}";
    for (int round = 0; round < 6; ++round) {
        Program camera(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera", {});
        ASSERT_TRUE(eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
        Program host(std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", {},
                     {{"XDG_CONFIG_HOME", config}}, false, true);
        Viewer viewer;
        ASSERT_TRUE(viewer.waitForLook(Look::Bars, 20s)) << "round " << round;
        int status = camera.stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "round " << round << ": wait status " << status;
    }
}

// The user's audio server restarts (an update, a crash) while the
// application runs; the camera program is started again. The next start of
// sending reaches the camera without restarting the application.
TEST(CameraProgram, AfterTheAudioServerRestartsTheNextStartReachesTheCamera) {
    vsc::test::DesktopSession session;
    vsc::test::TestStudio studio;
    std::string config = session.dir() + "/host-config";
    fs::create_directories(config + "/vendaroscope-virtualcam");
    std::ofstream(config + "/vendaroscope-virtualcam/preferences.json")
        << "{\"programURL\": \"" << studio.url("STAGE_1") << "\", \"setupCompleted\": true}";
    std::string log = session.dir() + "/host.log";
    auto camera = std::make_unique<Program>(
        std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera", std::vector<std::string>{});
    ASSERT_TRUE(eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
    Program host(std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", {},
                 {{"XDG_CONFIG_HOME", config}}, false, true, log);
    auto readLog = [&] {
        std::ifstream in(log);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    host.send("start");
    {
        Viewer viewer;
        ASSERT_TRUE(viewer.waitForLook(Look::Bars, 20s)) << readLog();
    }
    host.send("stop");
    camera.reset();
    ASSERT_EQ(
        vsc::test::runProgram("/bin/bash", {std::string(VSC_SOURCE_DIR) + "/scripts/session.sh",
                                            "restart-audio", session.dir()}),
        0);
    camera = std::make_unique<Program>(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera",
                                       std::vector<std::string>{});
    ASSERT_TRUE(eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
    std::this_thread::sleep_for(2500ms);  // past the start/stop lock
    host.send("start");
    Viewer viewer;
    EXPECT_TRUE(viewer.waitForLook(Look::Bars, 20s)) << readLog();
    EXPECT_EQ(readLog().find("CMIODeviceStartStream failed"), std::string::npos) << readLog();
}

// Without a session manager nothing links the application's stream to the
// camera. The application keeps answering (its main queue never waits for
// the link), says why once the link has not come within 3 s, and keeps
// trying without repeating itself.
TEST(CameraProgram, AStreamTheCameraNeverTakesIsReportedWithoutStallingTheApp) {
    vsc::test::DesktopSession session;
    vsc::test::TestStudio studio;
    Program camera(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera", {});
    ASSERT_TRUE(eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
    {
        std::ifstream pids(session.dir() + "/pids");
        std::string role, pid, comm;
        while (pids >> role >> pid >> comm)
            if (role == "wireplumber") kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
    }
    std::string config = session.dir() + "/host-config";
    fs::create_directories(config + "/vendaroscope-virtualcam");
    std::ofstream(config + "/vendaroscope-virtualcam/preferences.json")
        << "{\"programURL\": \"" << studio.url("STAGE_1") << "\", \"setupCompleted\": true}";
    Program host(std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", {},
                 {{"XDG_CONFIG_HOME", config}}, true, true);
    // The host prints a stats line every second from its main queue.
    std::mutex mutex;
    std::vector<std::pair<Steady::time_point, std::string>> lines;
    std::thread reader([&] {
        std::string pending;
        char chunk[4096];
        ssize_t n;
        while ((n = read(host.stdoutFd(), chunk, sizeof chunk)) > 0) {
            pending.append(chunk, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::lock_guard<std::mutex> hold(mutex);
                lines.push_back({Steady::now(), pending.substr(0, end)});
                pending.erase(0, end + 1);
            }
        }
    });
    std::this_thread::sleep_for(1s);
    auto started = Steady::now();
    host.send("start");
    std::this_thread::sleep_for(11s);
    // Each attempt that was given up left nothing behind: at most the
    // current attempt's stream is there.
    std::string nodes = vsc::test::outputOf("/usr/bin/pw-cli", {"ls", "Node"});
    std::size_t streams = 0;
    for (std::size_t at = 0; (at = nodes.find("node.description = \"Vendaroscope Virtual Webcam\"",
                                              at)) != std::string::npos;
         ++at)
        ++streams;
    EXPECT_LE(streams, 1u);
    host.stop();
    reader.join();
    const std::string failure = "CMIODeviceStartStream failed (-110).";
    int failures = 0;
    double widest = 0;
    std::optional<Steady::time_point> previous;
    for (const auto& [at, line] : lines) {
        // The activity log's line (not the sink-status line of the status).
        if (line.find(failure) != std::string::npos && line.rfind("sink-status", 0) != 0)
            ++failures;
        if (line.rfind("stats ", 0) != 0) continue;
        if (!previous) widest = std::chrono::duration<double>(at - started).count();
        if (previous)
            widest = std::max(widest, std::chrono::duration<double>(at - *previous).count());
        previous = at;
    }
    EXPECT_EQ(failures, 1);
    EXPECT_LT(widest, 1.5) << "the main queue stalled";
}

}  // namespace
