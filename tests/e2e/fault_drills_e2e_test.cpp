// What a studio's bad day does to a call: the application's ffmpeg dies, then
// the studio itself dies and comes back on the same ports. The call keeps a
// steady picture throughout (the studio, the held picture, the slate, the
// studio again) and sending resumes without anyone touching the application.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "support/camera_viewer.h"
#include "support/desktop_session.h"
#include "support/headless_host.h"
#include "support/test_studio.h"
#include "support/wait.h"

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using vsc::test::Look;
using vsc::test::Viewer;

namespace {

// The longest time between two frames the reader received after `from`. A
// busy machine may delay a frame or two; a freeze a person notices is longer
// than 0.2 s.
double widestGap(const std::vector<Viewer::Frame>& frames, Steady::time_point from) {
    double widest = 0;
    for (std::size_t i = 1; i < frames.size(); ++i)
        if (frames[i].at > from)
            widest = std::max(
                widest, std::chrono::duration<double>(frames[i].at - frames[i - 1].at).count());
    return widest;
}

// The pid in "ffmpeg started (pid N) → URL", the newest such line.
pid_t newestFfmpeg(vsc::test::HeadlessHost& host) {
    pid_t pid = 0;
    for (const auto& line : host.lines()) {
        auto at = line.text.find("ffmpeg started (pid ");
        if (at != std::string::npos) pid = std::stoi(line.text.substr(at + 20));
    }
    return pid;
}

TEST(FaultDrills, FfmpegKilledThenTheStudioCrashesAndReturnsOnItsPorts) {
    const auto began = Steady::now();
    vsc::test::DesktopSession session;
    vsc::test::Program camera(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera", {});
    ASSERT_TRUE(
        vsc::test::eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
    auto studio = std::make_unique<vsc::test::TestStudio>();
    const int rtspPort = studio->rtspPort(), apiPort = studio->apiPort();
    vsc::test::HeadlessHost host(session.dir() + "/host",
                                 "{\"programURL\": \"" + studio->url("STAGE_1") +
                                     "\", \"setupCompleted\": true, \"resumeSending\": true}");
    Viewer viewer;
    ASSERT_TRUE(viewer.waitForLook(Look::Bars, 20s)) << host.text();

    // ffmpeg is killed: the receiver says so, retries at once-ish, and the
    // studio's picture comes back.
    const pid_t first = newestFfmpeg(host);
    ASSERT_GT(first, 0) << host.text();
    const auto killed = Steady::now();
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(host.waitFor("ffmpeg exited (pid " + std::to_string(first), 5s, killed))
        << host.text();
    ASSERT_TRUE(host.waitFor("retrying in 2 s", 5s, killed)) << host.text();
    ASSERT_TRUE(vsc::test::eventually([&] { return newestFfmpeg(host) != first; }, 10s));
    ASSERT_TRUE(vsc::test::eventually(
        [&] {
            auto frames = viewer.frames();
            return !frames.empty() && frames.back().at > killed + 1s &&
                   frames.back().look == Look::Bars;
        },
        15s))
        << host.text();
    EXPECT_LT(widestGap(viewer.frames(), killed), 0.2);

    // The studio dies without a word and is back on the same ports 6 s later.
    const auto crashed = Steady::now();
    studio->crash();
    ASSERT_TRUE(viewer.waitForLook(Look::Slate, 5s)) << host.text();
    EXPECT_TRUE(host.waitFor("retrying in", 5s, crashed)) << host.text();
    std::this_thread::sleep_until(crashed + 6s);
    studio = std::make_unique<vsc::test::TestStudio>(1280, 720, rtspPort, apiPort);
    const auto restored = Steady::now();
    ASSERT_TRUE(vsc::test::eventually(
        [&] {
            auto frames = viewer.frames();
            return !frames.empty() && frames.back().at > restored &&
                   frames.back().look == Look::Bars;
        },
        25s))
        << host.text();
    // The call's picture never stopped: the slate filled the gap at 30 fps.
    EXPECT_LT(widestGap(viewer.frames(), crashed), 0.2);
    const std::size_t n = viewer.count();
    ASSERT_TRUE(viewer.waitFor(n + 60, 5s));
    EXPECT_NEAR(viewer.rate(n), 30.0, 1.0);
    EXPECT_TRUE(host.waitFor("stats inputFps=30 receiving=1", 5s, restored)) << host.text();
    EXPECT_LT(Steady::now() - began, 60s);
}

}  // namespace
