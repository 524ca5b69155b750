// What a studio's bad day does to a call: the application's ffmpeg dies, the
// studio itself dies and comes back on the same ports, the studio's programme
// stalls, the network's name service restarts. The call keeps a steady picture
// throughout (the studio, the held picture, the slate, the studio again) and
// sending resumes without anyone touching the application. And what a desktop
// does to the preferences file: a damaged file, a full disk, a folder that
// turns read-only.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "support/camera_viewer.h"
#include "support/desktop_session.h"
#include "support/headless_host.h"
#include "support/steal.h"
#include "support/test_studio.h"
#include "support/wait.h"

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using vsc::test::Look;
using vsc::test::Viewer;

namespace {

// The pid in "ffmpeg started (pid N) → URL", the newest such line.
pid_t newestFfmpeg(vsc::test::HeadlessHost& host) {
    return vsc::test::newestFfmpegPid(host.text());
}

TEST(FaultDrills, FfmpegKilledThenTheStudioCrashesAndReturnsOnItsPorts) {
    const auto began = Steady::now();
    vsc::test::StealWatch steal;
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
    ASSERT_TRUE(viewer.waitForLookSince(Look::Bars, killed + 1s, 15s)) << host.text();
    EXPECT_LT(viewer.widestGap(killed), 0.2);

    // The studio dies without a word and is back on the same ports 6 s later.
    const auto crashed = Steady::now();
    studio->crash();
    ASSERT_TRUE(viewer.waitForLook(Look::Slate, 5s)) << host.text();
    EXPECT_TRUE(host.waitFor("retrying in", 5s, crashed)) << host.text();
    std::this_thread::sleep_until(crashed + 6s);
    studio = std::make_unique<vsc::test::TestStudio>(1280, 720, rtspPort, apiPort);
    const auto restored = Steady::now();
    ASSERT_TRUE(viewer.waitForLookSince(Look::Bars, restored, 25s)) << host.text();
    // The call's picture never stopped: the slate filled the gap at 30 fps.
    EXPECT_LT(viewer.widestGap(crashed), 0.2);
    // And it is at 30 fps again. A frame that did not reach the reader is
    // ours to explain, unless the hypervisor took the machine's processors
    // away for as long then (see support/steal.h).
    const std::size_t n = viewer.count();
    ASSERT_TRUE(viewer.waitFor(n + 90, 6s));
    Steady::time_point since;
    const double missing = viewer.missingFrames(n, &since);
    const double stolen = steal.stolenBetween(since, Steady::now());
    std::printf(
        "figure: %.2f fps at the reader once the studio was back, %.1f frames missing, "
        "%.0f ms stolen from the processors\n",
        viewer.rate(n), missing, stolen);
    EXPECT_LT(viewer.rate(n), 31.0);
    EXPECT_LE(missing, 3.0 + 30.0 * stolen / 1000.0);
    ::kill(camera.pid(), SIGUSR1);  // its counters, the frames it skipped among them
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
    EXPECT_TRUE(host.waitFor(" s — restarting ffmpeg", 20s, stalled)) << host.text();
    ASSERT_TRUE(viewer.waitForLookSince(Look::Bars, stalled + 20s, 20s)) << host.text();
    std::printf("figure: stall of 20 s -> studio back at a reader %.1f s after the stall began\n",
                std::chrono::duration<double>(Steady::now() - stalled).count());
    EXPECT_LT(viewer.widestGap(stalled), 0.2);

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
    EXPECT_LT(viewer.widestGap(restarting), 0.2);
    EXPECT_EQ(viewer.frames().back().look, Look::Bars);
    EXPECT_TRUE(host.waitFor("stats inputFps=30 receiving=1", 5s, restarting)) << host.text();
    EXPECT_LT(Steady::now() - began, 75s);
}

std::string contentsOf(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A small file system of its own for the preferences folder, so that it can
// fill up and turn read-only (needs the right to mount, as root has).
class SmallFolder {
  public:
    explicit SmallFolder(const std::string& path) : path_(path) {
        std::filesystem::create_directories(path);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=256k,mode=0700") == 0;
    }
    ~SmallFolder() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    void fill() {
        std::ofstream filler(path_ + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    void empty() { std::filesystem::remove(path_ + "/filler"); }
    bool readOnly(bool on) {
        return ::mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | (on ? MS_RDONLY : 0),
                       "size=256k,mode=0700") == 0;
    }

  private:
    std::string path_;
    bool mounted_ = false;
};

// The host starts on a damaged preferences file, then its folder fills up,
// empties, and turns read-only while the user changes a setting.
TEST(FaultDrills, ADamagedPreferencesFileThenAFullDiskThenAReadOnlyFolder) {
    vsc::test::DesktopSession session;
    const std::string config = session.dir() + "/host";
    const std::string folder = config + "/vendaroscope-virtualcam";
    SmallFolder small(folder);
    if (!small.mounted()) GTEST_SKIP() << "no right to mount a file system here";
    const std::string file = folder + "/preferences.json";
    const std::string damaged = "{\"programURL\": \"rtsp://10.0.0.7:8554/STA";
    std::ofstream(file) << damaged;

    vsc::test::HeadlessHost host(config, "", std::string(VSC_BINARY_DIR) + "/bin/vsc-headless",
                                 true);
    // Defaults apply and the damaged file is kept aside, untouched.
    auto aside = host.waitFor("Preferences file was unreadable; kept it as ", 10s);
    ASSERT_TRUE(aside) << host.text();
    const std::string kept = aside->text.substr(aside->text.find(" as ") + 4);
    EXPECT_EQ(contentsOf(kept.substr(0, kept.find(" and started from defaults"))), damaged);
    EXPECT_TRUE(host.waitFor("camera-state ", 10s)) << host.text();
    host.send("ndi-name Drill One");
    ASSERT_TRUE(vsc::test::eventually(
        [&] { return contentsOf(file).find("Drill One") != std::string::npos; }, 5s))
        << host.text();
    EXPECT_EQ(contentsOf(file).find("STA"), std::string::npos);

    // The disk fills: the change stays in memory, the failure is told once
    // for the whole run of failures, the old file stays whole.
    small.fill();
    host.send("ndi-name Drill Two");
    host.send("ndi-name Drill Three");
    EXPECT_TRUE(host.waitFor("Could not save preferences to " + file +
                                 " (writing the temporary file: No space left on device)",
                             5s))
        << host.text();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(linesWith(host, "Could not save preferences"), 1u) << host.text();
    EXPECT_NE(contentsOf(file).find("Drill One"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              3)  // the file, the damaged one kept aside, the filler: no temporary left
        << host.text();

    // Room again: the next change saves what was kept in memory.
    small.empty();
    host.send("ndi-name Drill Four");
    ASSERT_TRUE(vsc::test::eventually(
        [&] { return contentsOf(file).find("Drill Four") != std::string::npos; }, 5s))
        << host.text();

    // The folder turns read-only: a new run of failures, told once more.
    ASSERT_TRUE(small.readOnly(true));
    host.send("ndi-name Drill Five");
    EXPECT_TRUE(host.waitFor("(creating the temporary file: Read-only file system)", 5s))
        << host.text();
    EXPECT_EQ(linesWith(host, "Could not save preferences"), 2u) << host.text();
    EXPECT_NE(contentsOf(file).find("Drill Four"), std::string::npos);
    EXPECT_TRUE(host.program().running());
    ASSERT_TRUE(small.readOnly(false));
    host.send("quit");  // the end writes what is still unsaved
    EXPECT_TRUE(vsc::test::eventually([&] { return !host.program().running(); }, 10s));
    EXPECT_NE(contentsOf(file).find("Drill Five"), std::string::npos) << host.text();
}

}  // namespace
