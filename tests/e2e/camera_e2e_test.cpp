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

}  // namespace
