// The receiver against the test studio with the real ffmpeg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <set>

#include "app/intake/program_receiver.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vsc::test::eventually;

namespace {

// Luma of the studio's colour bars (full-intensity SMPTE bars, BT.709 video
// range) from left to right.
const int kBarLuma[7] = {235, 219, 188, 173, 78, 63, 32};

struct Recorder {
    std::mutex mutex;
    std::vector<std::string> logs;
    std::vector<bool> states;
    long frames = 0;
    long wrongSizedFrames = 0;
    long audioBlocks = 0;
    std::vector<std::uint8_t> lastFrame;
    std::vector<float> audio;  // the first second of sound

    void attach(vsc::ProgramReceiver& r) {
        r.onLog = [this](const std::string& m) {
            std::lock_guard<std::mutex> hold(mutex);
            logs.push_back(m);
        };
        r.onStateChange = [this](bool running) {
            std::lock_guard<std::mutex> hold(mutex);
            states.push_back(running);
        };
        r.onVideoFrame = [this](std::span<const std::uint8_t> frame) {
            std::lock_guard<std::mutex> hold(mutex);
            ++frames;
            if (frame.size() != 3110400) ++wrongSizedFrames;
            lastFrame.assign(frame.begin(), frame.end());
        };
        r.onAudioSamples = [this](std::span<const float> block) {
            std::lock_guard<std::mutex> hold(mutex);
            ++audioBlocks;
            if (block.size() == 960 && audio.size() < 96000)
                audio.insert(audio.end(), block.begin(), block.end());
        };
    }
    long frameCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return frames;
    }
    int count(const std::string& prefix) {
        std::lock_guard<std::mutex> hold(mutex);
        int n = 0;
        for (const auto& l : logs) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    std::string find(const std::string& prefix) {
        std::lock_guard<std::mutex> hold(mutex);
        for (const auto& l : logs)
            if (l.rfind(prefix, 0) == 0) return l;
        return "";
    }
};

// Stops the receiver and waits until its threads have let go of it, so none
// of them calls into a recorder that is about to go.
void finish(std::shared_ptr<vsc::ProgramReceiver>& receiver) {
    receiver->stop();
    std::weak_ptr<vsc::ProgramReceiver> weak = receiver;
    receiver.reset();
    EXPECT_TRUE(eventually([&] { return weak.expired(); }, 10s));
}

// A receiver that is finished when it goes out of scope, also when an
// assertion ends the test early. Declare it after its recorder.
struct Receiver {
    explicit Receiver(Recorder& recorder) {
        vsc::ProgramReceiver::Environment env;  // real threads, clock and ffmpeg
        receiver = vsc::ProgramReceiver::create(env);
        recorder.attach(*receiver);
    }
    ~Receiver() {
        if (receiver) finish(receiver);
    }
    vsc::ProgramReceiver* operator->() { return receiver.get(); }
    std::shared_ptr<vsc::ProgramReceiver> receiver;
};

TEST(ReceiverWithStudio, DeliversWholeFramesAtTheSourceRateAndTheTone) {
    vsc::test::TestStudio studio;
    // A descriptor of ours that the child must not inherit.
    int canary = open("/dev/zero", O_RDONLY);  // deliberately not close-on-exec
    ASSERT_GE(canary, 0);
    Recorder rec;
    Receiver receiver(rec);
    receiver->start(studio.url("STAGE_1"));
    ASSERT_TRUE(eventually([&] { return rec.frameCount() > 0; }, 15s)) << rec.find("");
    EXPECT_EQ(rec.find("program tracks"), "program tracks: video + audio");

    // The child holds 0-4 from us and nothing else of ours.
    pid_t child = receiver->currentPid();
    ASSERT_GT(child, 0);
    std::string ourCanary = fs::read_symlink("/proc/self/fd/" + std::to_string(canary));
    std::set<int> childFds;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(child) + "/fd")) {
        int fd = std::stoi(e.path().filename());
        childFds.insert(fd);
        std::error_code ec;
        std::string target = fs::read_symlink(e.path(), ec).string();
        if (fd > 4) {
            EXPECT_EQ(target.rfind("pipe:", 0), std::string::npos) << fd << " -> " << target;
            EXPECT_NE(target, ourCanary);
        }
    }
    for (int fd : {0, 1, 2, 3, 4}) EXPECT_TRUE(childFds.count(fd)) << fd;
    close(canary);

    long before = rec.frameCount();
    std::this_thread::sleep_for(3s);
    double fps = (rec.frameCount() - before) / 3.0;
    EXPECT_NEAR(fps, 30.0, 2.0);
    finish(receiver.receiver);

    std::lock_guard<std::mutex> hold(rec.mutex);
    EXPECT_EQ(rec.wrongSizedFrames, 0);
    EXPECT_GT(rec.audioBlocks, 250);  // 100 blocks a second
    // The picture is the studio's: the bars, left to right, in the top rows.
    for (int bar = 0; bar < 7; ++bar) {
        int x = static_cast<int>((bar + 0.5) * 1920 / 7);
        EXPECT_NEAR(rec.lastFrame[static_cast<std::size_t>(200 * 1920 + x)], kBarLuma[bar], 12)
            << bar;
    }
    // The sound is a 1 kHz tone: count rising zero crossings of the left channel
    // over the last half second of the first second.
    ASSERT_GE(rec.audio.size(), 96000u);
    int crossings = 0;
    float peak = 0;
    for (std::size_t i = 48000; i + 2 < 96000; i += 2) {
        if (rec.audio[i] < 0 && rec.audio[i + 2] >= 0) ++crossings;
        peak = std::max(peak, std::fabs(rec.audio[i]));
    }
    EXPECT_NEAR(crossings, 500, 3);
    EXPECT_GT(peak, 0.2f);
    EXPECT_LT(peak, 1.0f);
}

TEST(ReceiverWithStudio, VideoOnlyAndAudioOnlyPaths) {
    vsc::test::TestStudio studio;
    Recorder videoOnly, audioOnly;
    Receiver first(videoOnly);
    Receiver second(audioOnly);
    first->start(studio.url("STAGE_2"));
    second->start(studio.url("STAGE_3"));
    ASSERT_TRUE(eventually([&] { return videoOnly.frameCount() > 10; }, 15s));
    EXPECT_EQ(videoOnly.find("program tracks"),
              "program tracks: video only — virtual mic stays silent");
    ASSERT_TRUE(eventually([&] { return audioOnly.count("retrying in ") >= 1; }, 15s));
    EXPECT_EQ(audioOnly.find("program not available"),
              "program not available (no video track) at " + studio.url("STAGE_3"));
    EXPECT_EQ(audioOnly.find("retrying in "), "retrying in 2 s");
    finish(first.receiver);
    finish(second.receiver);
    std::lock_guard<std::mutex> hold(videoOnly.mutex);
    EXPECT_EQ(videoOnly.audioBlocks, 0);
    EXPECT_EQ(audioOnly.frameCount(), 0);
}

TEST(ReceiverWithStudio, ADroppedPathRestartsAndFramesResumeAfterRestore) {
    vsc::test::TestStudio studio;
    Recorder rec;
    Receiver receiver(rec);
    receiver->start(studio.url("STAGE_1"));
    ASSERT_TRUE(eventually([&] { return rec.frameCount() > 10; }, 15s));
    pid_t first = receiver->currentPid();
    studio.control("drop?path=STAGE_1");
    ASSERT_TRUE(eventually([&] { return rec.count("ffmpeg exited") == 1; }, 10s));
    EXPECT_EQ(rec.find("ffmpeg exited"),
              "ffmpeg exited (pid " + std::to_string(first) + ", status 0)");
    ASSERT_TRUE(eventually([&] { return rec.count("retrying in ") == 1; }, 5s));
    EXPECT_EQ(rec.find("retrying in "), "retrying in 2 s");
    {
        std::lock_guard<std::mutex> hold(rec.mutex);
        EXPECT_EQ(rec.states, (std::vector<bool>{true, false}));
    }
    studio.control("restore?path=STAGE_1");
    long before = rec.frameCount();
    ASSERT_TRUE(eventually([&] { return rec.frameCount() > before + 10; }, 20s));
    EXPECT_NE(receiver->currentPid(), first);
    finish(receiver.receiver);
}

TEST(ReceiverWithStudio, AStalledServerIsCaughtByTheWatchdog) {
    vsc::test::TestStudio studio;
    Recorder rec;
    Receiver receiver(rec);
    receiver->start(studio.url("STAGE_2"));
    ASSERT_TRUE(eventually([&] { return rec.frameCount() > 10; }, 15s));
    studio.control("stall?seconds=40");
    ASSERT_TRUE(eventually([&] { return rec.count("no picture for ") == 1; }, 25s));
    std::string line = rec.find("no picture for ");
    int seconds = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "no picture for %d s", &seconds), 1) << line;
    EXPECT_GE(seconds, 16);
    EXPECT_LE(seconds, 17);
    EXPECT_EQ(line, "no picture for " + std::to_string(seconds) + " s — restarting ffmpeg");
    ASSERT_TRUE(eventually([&] { return rec.count("retrying in ") == 1; }, 5s));
    finish(receiver.receiver);
}

}  // namespace
