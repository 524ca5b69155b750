// What a studio's bad day does to a call: the application's ffmpeg dies, the
// studio itself dies and comes back on the same ports, the studio's programme
// stalls, the network's name service restarts. The call keeps a steady picture
// throughout (the studio, the held picture, the slate, the studio again) and
// sending resumes without anyone touching the application.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>

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

// How many of the host's lines contain `part`.
std::size_t linesWith(vsc::test::HeadlessHost& host, const std::string& part) {
    std::size_t n = 0;
    for (const auto& line : host.lines()) n += line.text.find(part) != std::string::npos;
    return n;
}

// The studio found by DNS-SD stalls for 20 s (its connection stays open, no
// packet comes), then avahi-daemon goes and comes back while sending.
TEST(FaultDrills, TheStudioStallsThenTheNameServiceRestartsWhileSending) {
    const auto began = Steady::now();
    vsc::test::DesktopSession session(true);
    vsc::test::Program camera(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera", {});
    ASSERT_TRUE(
        vsc::test::eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
    vsc::test::TestStudio studio(1280, 720, 0, 0,
                                 {"--announce", "Drill Studio", "--pcr-name", "Drill Studio",
                                  "--pcr-code", "DS", "--pcr-sid", "1", "--pcr-stage", "STAGE_1"});
    vsc::test::HeadlessHost host(session.dir() + "/host", "{\"setupCompleted\": true}");
    ASSERT_TRUE(host.waitFor("Program URL from PCR « Drill Studio (DS) »", 20s)) << host.text();
    host.send("start");
    Viewer viewer;
    ASSERT_TRUE(viewer.waitForLook(Look::Bars, 20s)) << host.text();

    // The stall: the held picture, then the slate, and the host says the
    // programme is gone; ffmpeg is restarted once it has been silent 15 s and
    // the studio's picture is back soon after the stall ends.
    const auto stalled = Steady::now();
    studio.control("stall?seconds=20&path=STAGE_1");
    ASSERT_TRUE(viewer.waitForLook(Look::Slate, 5s)) << host.text();
    EXPECT_TRUE(host.waitFor("receiving=0", 5s, stalled)) << host.text();
    EXPECT_TRUE(host.waitFor(" s — restarting ffmpeg", 20s, stalled))
        << host.text();
    ASSERT_TRUE(vsc::test::eventually(
        [&] {
            auto frames = viewer.frames();
            return !frames.empty() && frames.back().at > stalled + 20s &&
                   frames.back().look == Look::Bars;
        },
        20s))
        << host.text();
    std::printf("figure: stall of 20 s -> studio back at a reader %.1f s after the stall began\n",
                std::chrono::duration<double>(Steady::now() - stalled).count());
    EXPECT_LT(widestGap(viewer.frames(), stalled), 0.2);

    // The name service restarts: discovery says so and browses again, the
    // studio comes back in the list, and sending is not disturbed at all.
    if (session.avahiPid() == 0) return;  // a daemon of the machine's own is left alone
    const std::size_t starts = linesWith(host, "ffmpeg started");
    const auto restarting = Steady::now();
    ASSERT_EQ(::kill(session.avahiPid(), SIGTERM), 0);
    EXPECT_TRUE(host.waitFor("PCR browser failed: Daemon connection failed", 10s, restarting))
        << host.text();
    ASSERT_EQ(
        vsc::test::runProgram("/bin/bash", {std::string(VSC_SOURCE_DIR) + "/scripts/session.sh",
                                            "restart-avahi", session.dir()}),
        0);
    studio.control("announce");  // its announcement went with the old daemon
    // Browsing again: the studio's comings and goings are heard.
    std::this_thread::sleep_for(3s);
    auto withdrawn = Steady::now();
    studio.control("withdraw");
    EXPECT_TRUE(host.waitFor("pcrs count=0", 10s, withdrawn)) << host.text();
    auto announced = Steady::now();
    studio.control("announce");
    EXPECT_TRUE(host.waitFor("pcrs count=1", 10s, announced)) << host.text();
    EXPECT_EQ(linesWith(host, "ffmpeg started"), starts) << host.text();
    EXPECT_LT(widestGap(viewer.frames(), restarting), 0.2);
    EXPECT_EQ(viewer.frames().back().look, Look::Bars);
    EXPECT_TRUE(host.waitFor("stats inputFps=30 receiving=1", 5s, restarting)) << host.text();
    EXPECT_LT(Steady::now() - began, 75s);
}

}  // namespace
