#include "app/intake/program_receiver.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/recording_dispatcher.h"
#include "support/virtual_clock.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using vsc::test::eventually;

namespace {

const std::string kUrl = "rtsp://127.0.0.1:8554/STAGE_1";
// Small frames keep the pipes quick; their 594 chroma pairs do not split into
// whole blocks of 16, so the interleave's tail is read too.
constexpr int kWidth = 66, kHeight = 36;
constexpr std::size_t kFrameBytes = kWidth * kHeight * 3 / 2;

// A receiver on the stand-in ffmpeg, the recording dispatcher and the virtual
// clock, with everything its callbacks deliver. A class of its own so that
// plain TESTs of other suites can use it too.
class ReceiverRig {
  public:
    ReceiverRig() {
        char pattern[] = "/tmp/vsc-receiver-XXXXXX";
        dir_ = mkdtemp(pattern);
        fs::create_symlink(STAND_IN_FFMPEG, dir_ / "ffmpeg");
        fs::create_symlink(STAND_IN_FFMPEG, dir_ / "ffprobe");
        vsc::ProgramReceiver::Environment env;
        env.dispatcher = &dispatcher_;
        env.clock = &clock_;
        env.resourcesDir = dir_.string();
        env.systemFfmpegPaths = {};
        // A desktop without RealtimeKit, as far as the receiver can tell.
        env.raisePriority = [this](pid_t process, pid_t thread) {
            std::lock_guard<std::mutex> hold(mutex_);
            raised_.push_back({process, thread});
            return std::string("not allowed");
        };
        receiver_ = vsc::ProgramReceiver::create(env, kWidth, kHeight);
        receiver_->onLog = [this](const std::string& m) {
            bool stopNow = false;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                logs_.push_back(m);
                if (!stopOnLog_.empty() && m.rfind(stopOnLog_, 0) == 0) {
                    stopOnLog_.clear();
                    stopNow = true;
                }
            }
            if (stopNow) {
                receiver_->stop();
                // The attempt is still on its way: nobody may think it over.
                bool idle = receiver_->waitForChildren(0);
                std::lock_guard<std::mutex> hold(mutex_);
                idleAfterStopOnLog_ = idle;
            }
        };
        receiver_->onStateChange = [this](bool running) {
            std::lock_guard<std::mutex> hold(mutex_);
            states_.push_back(running);
        };
        receiver_->onVideoFrame = [this](std::span<const std::uint8_t> frame) {
            std::lock_guard<std::mutex> hold(mutex_);
            frameSizes_.push_back(frame.size());
            frameFirstBytes_.push_back(frame[0]);
            // The chroma plane is NV12: U and V of the frame, interleaved.
            const std::uint8_t f = frame[0];
            bool nv12 = true;
            for (std::size_t i = kWidth * kHeight; i + 1 < frame.size(); i += 2)
                nv12 = nv12 && frame[i] == std::uint8_t(0x40 + f) &&
                       frame[i + 1] == std::uint8_t(0xC0 + f);
            framesNotNv12_ += nv12 ? 0 : 1;
        };
        receiver_->onAudioSamples = [this](std::span<const float> block) {
            std::lock_guard<std::mutex> hold(mutex_);
            audioBlocks_.push_back(block.size());
        };
    }

    ~ReceiverRig() {
        receiver_->stop();
        clock_.finish();
        touch("release");
        touch("probe_release");
        dispatcher_.fireDelayed();  // late probe kills, dead retries
        dispatcher_.joinAll();
        receiver_.reset();
        fs::remove_all(dir_);
    }

    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    void touch(const std::string& name) { write(name, ""); }

    // Stops the receiver from inside the log call of the first line starting
    // with prefix: on the worker that logs it, at exactly that point.
    void stopOnLog(const std::string& prefix) {
        std::lock_guard<std::mutex> hold(mutex_);
        stopOnLog_ = prefix;
        idleAfterStopOnLog_.reset();
    }
    // Whether the receiver claimed to be idle right after that stop.
    std::optional<bool> idleAfterStopOnLog() {
        std::lock_guard<std::mutex> hold(mutex_);
        return idleAfterStopOnLog_;
    }

    std::vector<std::string> logs() {
        std::lock_guard<std::mutex> hold(mutex_);
        return logs_;
    }
    std::vector<bool> states() {
        std::lock_guard<std::mutex> hold(mutex_);
        return states_;
    }
    int count(const std::string& prefix) {
        int n = 0;
        for (const auto& l : logs()) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    bool logged(const std::string& line) {
        for (const auto& l : logs())
            if (l == line) return true;
        return false;
    }
    std::vector<std::string> retryLines() {
        std::vector<std::string> out;
        for (const auto& l : logs())
            if (l.rfind("retrying in ", 0) == 0) out.push_back(l);
        return out;
    }
    std::vector<pid_t> ffmpegPids() {
        std::vector<pid_t> pids;
        std::ifstream in(dir_ / "calls_ffmpeg");
        std::string line;
        while (std::getline(in, line)) pids.push_back(std::stoi(line));
        return pids;
    }

    // The retry is asked for just after its log line: wait for it (and the
    // probe's time limit) to be pending before letting time pass.
    void fireRetry() {
        ASSERT_TRUE(eventually([&] { return dispatcher_.pending() >= 2; }));
        dispatcher_.fireDelayed();
    }

    fs::path dir_;
    vsc::test::VirtualClock clock_;
    vsc::test::RecordingDispatcher dispatcher_;
    std::shared_ptr<vsc::ProgramReceiver> receiver_;
    std::mutex mutex_;
    std::vector<std::string> logs_;
    std::string stopOnLog_;
    std::optional<bool> idleAfterStopOnLog_;
    std::vector<bool> states_;
    std::vector<std::size_t> frameSizes_;
    std::vector<std::uint8_t> frameFirstBytes_;
    int framesNotNv12_ = 0;
    std::vector<std::size_t> audioBlocks_;
    std::vector<std::pair<pid_t, pid_t>> raised_;  // process, thread (0: all)
};

class ReceiverTest : public ::testing::Test, protected ReceiverRig {};

TEST(ReceiverArguments, FfmpegAndFfprobeCommandLines) {
    auto video = vsc::ProgramReceiver::ffmpegArguments(kUrl, 1920, 1080, false);
    std::vector<std::string> expected = {"-hide_banner",
                                         "-nostdin",
                                         "-loglevel",
                                         "warning",
                                         "-rtsp_transport",
                                         "tcp",
                                         "-timeout",
                                         "5000000",
                                         "-fflags",
                                         "nobuffer",
                                         "-flags",
                                         "low_delay",
                                         "-probesize",
                                         "500000",
                                         "-analyzeduration",
                                         "1000000",
                                         "-i",
                                         kUrl,
                                         "-map",
                                         "0:v:0",
                                         "-vf",
                                         "scale=1920:1080:flags=fast_bilinear,format=yuv420p",
                                         "-fps_mode",
                                         "passthrough",
                                         "-f",
                                         "rawvideo",
                                         "pipe:3"};
    EXPECT_EQ(video, expected);
    auto both = vsc::ProgramReceiver::ffmpegArguments(kUrl, 1920, 1080, true);
    expected.insert(expected.end(), {"-map", "0:a:0", "-af", "aresample=async=1", "-ac", "2", "-ar",
                                     "48000", "-f", "f32le", "pipe:4"});
    EXPECT_EQ(both, expected);
    EXPECT_EQ(
        vsc::ProgramReceiver::ffprobeArguments(kUrl),
        (std::vector<std::string>{"-v", "error", "-rtsp_transport", "tcp", "-timeout", "5000000",
                                  "-show_entries", "stream=codec_type", "-of", "csv=p=0", kUrl}));
}

TEST_F(ReceiverTest, DeliversWholeFramesAndBlocksAndHandsOnlyItsPipesToTheChild) {
    write("frames", "3");
    // Two whole audio blocks and a partial one, which is dropped.
    write("audio_bytes", std::to_string(2 * 3840 + 100));
    receiver_->start(kUrl);
    // The readers may still be emptying their pipes when the reaper logs.
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> hold(mutex_);
        return frameSizes_.size() >= 3 && audioBlocks_.size() >= 2;
    }));
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 1; }));
    {
        std::lock_guard<std::mutex> hold(mutex_);
        EXPECT_EQ(frameSizes_, std::vector<std::size_t>(3, kFrameBytes));
        EXPECT_EQ(frameFirstBytes_, (std::vector<std::uint8_t>{0, 1, 2}));
        EXPECT_EQ(framesNotNv12_, 0);
        EXPECT_EQ(audioBlocks_, std::vector<std::size_t>(2, 960));
    }
    auto pids = ffmpegPids();
    ASSERT_EQ(pids.size(), 1u);
    std::string pid = std::to_string(pids[0]);
    auto lines = logs();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "program tracks: video + audio");
    EXPECT_EQ(lines[1], "ffmpeg started (pid " + pid + ") → " + kUrl);
    EXPECT_TRUE(logged("ffmpeg exited (pid " + pid + ", status 0)"));
    EXPECT_EQ(lines.back(), "retrying in 2 s");
    EXPECT_EQ(states(), (std::vector<bool>{true, false}));
    // ffmpeg and our two pipe readers were raised; the refusal is logged once.
    EXPECT_EQ(count("ffmpeg keeps the ordinary priority: not allowed"), 1);
    EXPECT_EQ(count("reader keeps"), 0);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ASSERT_EQ(raised_.size(), 3u);
        EXPECT_EQ(raised_[0], std::make_pair(pids[0], pid_t{0}));
        for (std::size_t i : {1u, 2u}) {
            EXPECT_EQ(raised_[i].first, ::getpid());
            EXPECT_NE(raised_[i].second, ::getpid());  // threads of its own
        }
        EXPECT_NE(raised_[1].second, raised_[2].second);
    }

    // The child saw the audio arguments and held descriptors 0 to 4 only.
    std::ifstream calls(dir_ / "calls_ffmpeg");
    std::string call;
    std::getline(calls, call);
    EXPECT_NE(call.find("-f f32le pipe:4"), std::string::npos);
    std::ifstream fds(dir_ / ("fds_" + pid));
    std::stringstream listed;
    listed << fds.rdbuf();
    EXPECT_EQ(listed.str(), "0\n1\n2\n3\n4\n");
}

TEST_F(ReceiverTest, VideoOnlyStreamLeavesAudioOut) {
    write("probe_out", "video\n");
    write("frames", "1");
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 1; }));
    EXPECT_EQ(logs()[0], "program tracks: video only — virtual mic stays silent");
    std::ifstream calls(dir_ / "calls_ffmpeg");
    std::string call;
    std::getline(calls, call);
    EXPECT_EQ(call.find("pipe:4"), std::string::npos);
    EXPECT_NE(call.find("pipe:3"), std::string::npos);
}

TEST_F(ReceiverTest, QuickFailuresBackOffThenALongRunResetsTheCount) {
    receiver_->start(kUrl);
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(eventually([&] { return count("retrying in ") == i; })) << i;
        fireRetry();
    }
    std::vector<std::string> expected = {"retrying in 2 s", "retrying in 4 s", "retrying in 8 s",
                                         "retrying in 15 s", "retrying in 15 s"};
    EXPECT_EQ(retryLines(), expected);

    // The sixth child runs for 6 s of programme before it ends: not quick.
    touch("hold");
    // Each child's watchdog goes to sleep once its start time is recorded.
    ASSERT_TRUE(clock_.waitForEntered(6));
    clock_.advance(vsc::Seconds(6));
    touch("release");
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 6; }));
    EXPECT_EQ(retryLines().back(), "retrying in 2 s");
    EXPECT_EQ(count("no picture"), 0);
    EXPECT_EQ(count("ffmpeg keeps the ordinary priority"), 1);  // not once per child
}

TEST_F(ReceiverTest, ProbeFailuresAndAudioOnlyCountAsQuickFailures) {
    write("probe_rc", "1");
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 1; }));
    // Audio only is no better than nothing.
    fs::remove(dir_ / "probe_rc");
    write("probe_out", "audio\n");
    fireRetry();
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 2; }));
    // A probe that hangs is killed by its 8 s timer and still counts as quick,
    // though it took long.
    touch("probe_hang");
    fireRetry();
    ASSERT_TRUE(eventually([&] {
        std::ifstream in(dir_ / "calls_ffprobe");
        return std::count(std::istreambuf_iterator<char>(in), {}, '\n') == 3;
    }));
    clock_.advance(vsc::Seconds(8));
    ASSERT_TRUE(eventually([&] {
        auto d = dispatcher_.delays();
        return std::count(d.begin(), d.end(), 8.0) >= 3;
    }));
    dispatcher_.fireDelayed();
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 3; }));
    EXPECT_EQ(retryLines(),
              (std::vector<std::string>{"retrying in 2 s", "retrying in 4 s", "retrying in 8 s"}));
    EXPECT_EQ(count("program not available (no video track) at " + kUrl), 3);
    EXPECT_TRUE(ffmpegPids().empty());
    EXPECT_TRUE(states().empty());
}

TEST_F(ReceiverTest, AProbeOfAnEarlierStartFailingLateLeavesTheNewBackOffAlone) {
    write("probe_out", "audio\n");
    touch("probe_hold");
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] { return fs::exists(dir_ / "calls_ffprobe"); }));
    // The new start's probe fails at once while the first one still runs.
    fs::remove(dir_ / "probe_hold");
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 1; }));
    // Now the first probe fails too; that attempt is over and must not count.
    touch("probe_release");
    dispatcher_.joinAll();
    EXPECT_EQ(count("program not available (no video track) at " + kUrl), 2);
    fireRetry();
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 2; }));
    EXPECT_EQ(retryLines(), (std::vector<std::string>{"retrying in 2 s", "retrying in 4 s"}));
}

TEST_F(ReceiverTest, StartingTwiceKillsTheFirstChildWithoutAFalseState) {
    touch("hold");
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] { return states().size() == 1; }));
    pid_t first = receiver_->currentPid();
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] { return states().size() == 2; }));
    pid_t second = receiver_->currentPid();
    EXPECT_NE(first, second);
    ASSERT_TRUE(eventually(
        [&] { return logged("ffmpeg exited (pid " + std::to_string(first) + ", status 9)"); }));
    EXPECT_EQ(states(), (std::vector<bool>{true, true}));
    EXPECT_EQ(count("retrying in "), 0);  // the old child's exit restarts nothing
    receiver_->stop();
    EXPECT_EQ(states(), (std::vector<bool>{true, true, false}));
    EXPECT_EQ(receiver_->currentPid(), 0);
}

// Whether this process has no child at all, running or exited but unreaped.
// Other tests wait for the programs they run, so any child here is the receiver's.
bool noChildLeft() {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

TEST_F(ReceiverTest, AStopLandingAnywhereInAnAttemptHasTheLastWordAndLeavesNoChild) {
    touch("hold");  // every child would wait for ever

    // With a child running: the wait lasts until its reaper has it.
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] { return states().size() == 1; }));
    receiver_->stop();
    ASSERT_TRUE(receiver_->waitForChildren(5));
    EXPECT_TRUE(noChildLeft());
    EXPECT_EQ(states(), (std::vector<bool>{true, false}));
    ASSERT_TRUE(eventually([&] { return count("ffmpeg exited (pid ") == 1; }));

    // While probing: the probe, which would wait for ever, is killed, and the
    // attempt ends without a word (though this probe would have found no video).
    write("probe_out", "audio\n");
    touch("probe_hold");
    auto before = logs();
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] {
        std::ifstream in(dir_ / "calls_ffprobe");
        return std::count(std::istreambuf_iterator<char>(in), {}, '\n') == 2;
    }));
    receiver_->stop();
    ASSERT_TRUE(receiver_->waitForChildren(5));
    EXPECT_TRUE(noChildLeft());
    EXPECT_EQ(logs(), before);
    fs::remove(dir_ / "probe_hold");
    fs::remove(dir_ / "probe_out");

    // After the probe, before the spawn: the child comes too late. It is
    // killed at once, nothing reports it running, and the wait covers it.
    stopOnLog("program tracks");
    receiver_->start(kUrl);
    ASSERT_TRUE(receiver_->waitForChildren(5));
    EXPECT_EQ(idleAfterStopOnLog(), false);
    EXPECT_TRUE(noChildLeft());
    EXPECT_EQ(count("ffmpeg started"), 1);
    ASSERT_TRUE(eventually([&] { return count("ffmpeg exited (pid ") == 2; }));
    EXPECT_NE(logs().back().find(", status 9)"), std::string::npos) << logs().back();

    // Between the adoption and its report: the report of the stop comes last.
    stopOnLog("ffmpeg started");
    receiver_->start(kUrl);
    ASSERT_TRUE(receiver_->waitForChildren(5));
    EXPECT_EQ(idleAfterStopOnLog(), false);
    EXPECT_TRUE(noChildLeft());
    ASSERT_TRUE(eventually([&] { return states().size() == 4; }));
    EXPECT_EQ(states(), (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(receiver_->currentPid(), 0);
    ASSERT_TRUE(eventually([&] { return count("ffmpeg exited (pid ") == 3; }));
    EXPECT_EQ(count("retrying in "), 0);
}

TEST_F(ReceiverTest, StopWithoutAChildAndAMissingFfmpegGiveNoStateAndNoRetry) {
    receiver_->stop();
    EXPECT_TRUE(states().empty());
    fs::remove(dir_ / "ffmpeg");
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] { return !logs().empty(); }));
    dispatcher_.joinAll();
    EXPECT_EQ(logs(), (std::vector<std::string>{"ffmpeg not found (expected in /usr/bin)"}));
    EXPECT_TRUE(dispatcher_.delays().empty());
    receiver_->stop();
    EXPECT_TRUE(states().empty());
}

TEST_F(ReceiverTest, DiagnosticsAreRelayedLineByLine) {
    write("stderr", std::string("first warning\n\nsecond\r\nbad \xff byte\nfragment without end"));
    receiver_->start(kUrl);
    // The diagnostics reader and the reaper run side by side: wait for both.
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 1 && count("ffmpeg: ") == 3; }));
    std::vector<std::string> relayed;
    for (const auto& l : logs())
        if (l.rfind("ffmpeg: ", 0) == 0) relayed.push_back(l);
    EXPECT_EQ(relayed, (std::vector<std::string>{"ffmpeg: first warning", "ffmpeg: second\r",
                                                 "ffmpeg: bad \xEF\xBF\xBD byte"}));
}

TEST_F(ReceiverTest, WatchdogKillsAChildWithoutPictureAfterSixteenSeconds) {
    touch("hold");
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] { return states().size() == 1; }));
    ASSERT_TRUE(clock_.waitForEntered(1));
    for (std::uint64_t step = 1; step <= 7; ++step) {
        clock_.advance(vsc::Seconds(2));
        // The watchdog looked at the time and went back to sleep.
        ASSERT_TRUE(clock_.waitForEntered(step + 1));
    }
    EXPECT_EQ(count("no picture"), 0);  // 14 s: not yet
    clock_.advance(vsc::Seconds(2));
    ASSERT_TRUE(eventually([&] { return count("no picture") == 1; }));
    EXPECT_TRUE(logged("no picture for 16 s — restarting ffmpeg"));
    ASSERT_TRUE(eventually([&] { return count("retrying in ") == 1; }));
    EXPECT_EQ(states(), (std::vector<bool>{true, false}));
}

// Hostile-input cases from all over the program share this suite; plain TESTs
// keep its fixture type the same everywhere.
TEST(HostileInput, AnAddressTooLongToLaunchEndsTheAttemptAsASpawnFailure) {
    ReceiverRig rig;
    // Far beyond what one argument of a new program may hold.
    std::string url = "rtsp://127.0.0.1:8554/STAGE_" + std::string(200 * 1024, '7');
    rig.receiver_->start(url);
    ASSERT_TRUE(eventually([&] { return !rig.logs().empty(); }));
    rig.dispatcher_.joinAll();
    std::vector<std::string> heads;  // a failure message without 200 KB lines
    for (const auto& l : rig.logs()) heads.push_back(l.substr(0, 60));
    EXPECT_EQ(heads, (std::vector<std::string>{"posix_spawn failed: 7"}));  // E2BIG
    EXPECT_TRUE(rig.dispatcher_.delays().empty());  // neither a retry nor a probe time limit
    EXPECT_TRUE(rig.states().empty());
    EXPECT_FALSE(fs::exists(rig.dir_ / "calls_ffprobe"));
    EXPECT_FALSE(fs::exists(rig.dir_ / "calls_ffmpeg"));
}

// A frame is read straight into the slot its owner lends, and handed back in
// it; when the owner lends nothing it goes to the receiver's own buffer and
// onVideoFrame as before.
TEST_F(ReceiverTest, FramesAreReadIntoTheSlotsTheOwnerLends) {
    write("probe_out", "video\n");
    write("frames", "4");
    // Shared with the reader thread, which may ask once more before it sees
    // the end of the pipe.
    struct Lending {
        std::vector<std::shared_ptr<std::vector<std::uint8_t>>> lent;
        std::vector<std::pair<const void*, std::uint8_t>> slotted;  // (holder, first byte)
        int asked = 0;
    };
    auto state = std::make_shared<Lending>();
    receiver_->lendFrameSlot = [this, state]() -> vsc::ProgramReceiver::FrameSlot {
        std::lock_guard<std::mutex> hold(mutex_);
        if (state->asked++ % 2 == 1) return {};  // every other frame: nothing to lend
        auto storage = std::make_shared<std::vector<std::uint8_t>>(kFrameBytes, 0xAB);
        state->lent.push_back(storage);
        return {storage->data(), storage};
    };
    receiver_->onVideoSlot = [this, state](std::span<const std::uint8_t> frame,
                                           vsc::ProgramReceiver::FrameSlot slot) {
        std::lock_guard<std::mutex> hold(mutex_);
        EXPECT_EQ(frame.data(), slot.bytes);
        EXPECT_EQ(frame.size(), kFrameBytes);
        state->slotted.push_back({slot.holder.get(), frame[0]});
    };
    receiver_->start(kUrl);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> hold(mutex_);
        return state->slotted.size() + frameFirstBytes_.size() >= 4;
    }));
    std::lock_guard<std::mutex> hold(mutex_);
    ASSERT_EQ(state->slotted.size(), 2u);
    ASSERT_GE(state->lent.size(), 2u);
    EXPECT_EQ(state->slotted[0].first, state->lent[0].get());
    EXPECT_EQ(state->slotted[1].first, state->lent[1].get());
    EXPECT_EQ(state->slotted[0].second, 0);
    EXPECT_EQ(state->slotted[1].second, 2);
    EXPECT_EQ(frameFirstBytes_, (std::vector<std::uint8_t>{1, 3}));
}

}  // namespace
