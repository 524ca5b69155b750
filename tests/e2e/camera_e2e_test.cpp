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

#include "support/desktop_session.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using vsc::test::eventually;
using vsc::test::Program;

namespace {

// The viewer keeps a band of rows across the middle of each 1920x1080 frame:
// enough to tell the bars from the slate, light enough to read 30 times a
// second on a busy machine without holding up the camera.
constexpr int kBandTop = 480, kBandRows = 40;
constexpr std::size_t kFrameBytes = 1920 * kBandRows * 3 / 2;
const int kBarLuma[7] = {235, 219, 188, 173, 78, 63, 32};

enum class Look { Bars, Slate, Other };

Look classify(const std::uint8_t* y) {
    const int row = 500 - kBandTop;  // across the bars, and through the slate's title
    auto at = [&](int x) { return static_cast<int>(y[row * 1920 + x]); };
    bool bars = true;
    for (int bar = 0; bar < 7 && bars; ++bar)
        bars = std::abs(at(static_cast<int>((bar + 0.5) * 1920 / 7)) - kBarLuma[bar]) <= 14;
    if (bars) return Look::Bars;
    // The slate: a dark background and the bright title in the middle.
    bool dark = std::abs(at(100) - 33) <= 5 && std::abs(at(1800) - 33) <= 5;
    int bright = 0;
    for (int x = 400; x < 1520; x += 2) bright += at(x) > 200;
    return dark && bright > 20 ? Look::Slate : Look::Other;
}

// A video application reading the camera: frames with their arrival times.
class Viewer {
  public:
    explicit Viewer(int frames = 100000)
        : gst_("/usr/bin/gst-launch-1.0",
               {"-q", "pipewiresrc", "target-object=Vendaroscope Program",
                "num-buffers=" + std::to_string(frames), "!",
                "video/x-raw,format=NV12,width=1920,height=1080", "!", "videocrop",
                "top=" + std::to_string(kBandTop),
                "bottom=" + std::to_string(1080 - kBandTop - kBandRows), "!", "queue",
                "max-size-buffers=30", "!", "fdsink", "fd=1"},
               {}, true) {
        // The queue keeps our reading from holding up the camera's graph.
        fcntl(gst_.stdoutFd(), F_SETPIPE_SZ, 1 << 20);
        reader_ = std::thread([this] { read(); });
    }
    ~Viewer() {
        gst_.stop();
        reader_.join();
    }
    struct Frame {
        Steady::time_point at;
        Look look;
    };
    std::vector<Frame> frames() {
        std::lock_guard<std::mutex> hold(mutex_);
        return frames_;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> hold(mutex_);
        return frames_.size();
    }
    bool waitFor(std::size_t n, std::chrono::milliseconds limit) {
        return eventually([&] { return count() >= n; }, limit);
    }
    // Until the newest frame looks like that.
    bool waitForLook(Look look, std::chrono::milliseconds limit) {
        return eventually(
            [&] {
                std::lock_guard<std::mutex> hold(mutex_);
                return !frames_.empty() && frames_.back().look == look;
            },
            limit);
    }
    // Frames per second between frame `from` and the newest.
    double rate(std::size_t from) {
        auto f = frames();
        if (f.size() < from + 2) return 0;
        double seconds = std::chrono::duration<double>(f.back().at - f[from].at).count();
        return static_cast<double>(f.size() - 1 - from) / seconds;
    }

  private:
    void read() {
        std::vector<std::uint8_t> frame(kFrameBytes);
        for (;;) {
            std::size_t filled = 0;
            while (filled < kFrameBytes) {
                ssize_t n = ::read(gst_.stdoutFd(), frame.data() + filled, kFrameBytes - filled);
                if (n <= 0) return;
                filled += static_cast<std::size_t>(n);
            }
            Look look = classify(frame.data());
            std::lock_guard<std::mutex> hold(mutex_);
            frames_.push_back({Steady::now(), look});
        }
    }
    Program gst_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

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
