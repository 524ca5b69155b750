// The virtual microphone as a video application hears it: the microphone's
// PipeWire configuration in a private session, the headless host sending the
// test studio's programme, and pw-record recording the microphone.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/audio/pipewire_audio_system.h"
#include "support/camera_viewer.h"
#include "support/desktop_session.h"
#include "support/sound.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vsc::test::eventually;
using vsc::test::Program;

namespace {

using vsc::test::measure;
using vsc::test::Sound;

// pw-record recording the microphone as a video call does. It writes the raw
// samples to a pipe, so each block is seen when it arrives: the frames
// delivered per second of wall-clock time are the slope of frames received
// against arrival time.
class Recorder {
    using Steady = std::chrono::steady_clock;

  public:
    Recorder()
        : program_("/usr/bin/pw-record",
                   {"--target", "vendaroscope_program_audio_mic", "--rate", "48000", "--channels",
                    "2", "--format", "f32", "-"},
                   {}, true) {
        reader_ = std::thread([this] { read(); });
    }
    ~Recorder() { finish(); }

    // Stops recording; the left channel after the first half second (while
    // the link is still being made).
    std::vector<float> finish() {
        if (reader_.joinable()) {
            program_.stop(SIGINT);
            reader_.join();
        }
        std::lock_guard<std::mutex> hold(mutex_);
        std::vector<float> left;
        for (std::size_t i = 0; i + 1 < samples_.size(); i += 2) left.push_back(samples_[i]);
        if (left.size() > 24000) left.erase(left.begin(), left.begin() + 24000);
        return left;
    }

    // Frames a second (least squares) over the arrivals from `skip` seconds
    // after the first frame on; the seconds that covers in *span.
    double framesPerSecond(double skip, double* span) {
        std::lock_guard<std::mutex> hold(mutex_);
        double n = 0, st = 0, sf = 0, stt = 0, stf = 0;
        if (arrivals_.empty()) return 0;
        const auto origin = arrivals_.front().at;
        double first = -1, last = 0;
        for (const auto& a : arrivals_) {
            double t = std::chrono::duration<double>(a.at - origin).count();
            if (t < skip) continue;
            if (first < 0) first = t;
            last = t;
            double f = static_cast<double>(a.frames);
            n += 1;
            st += t;
            sf += f;
            stt += t * t;
            stf += t * f;
        }
        if (span) *span = last - first;
        double denominator = n * stt - st * st;
        return denominator > 0 ? (n * stf - st * sf) / denominator : 0;
    }

  private:
    struct Arrival {
        Steady::time_point at;
        std::size_t frames;
    };
    void read() {
        std::vector<char> pending;
        char chunk[65536];
        for (;;) {
            ssize_t n = ::read(program_.stdoutFd(), chunk, sizeof chunk);
            if (n <= 0) return;
            auto at = Steady::now();
            pending.insert(pending.end(), chunk, chunk + n);
            std::size_t whole = pending.size() / sizeof(float) * sizeof(float);
            std::lock_guard<std::mutex> hold(mutex_);
            std::size_t before = samples_.size();
            samples_.resize(before + whole / sizeof(float));
            std::memcpy(samples_.data() + before, pending.data(), whole);
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(whole));
            arrivals_.push_back({at, samples_.size() / 2});
        }
    }

    Program program_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<float> samples_;  // interleaved stereo
    std::vector<Arrival> arrivals_;
};

// In a call the camera and the microphone are read at the same time: the
// camera program runs and a video application reads it throughout.
class Microphone : public ::testing::Test {
  protected:
    void SetUp() override {
        session = std::make_unique<vsc::test::DesktopSession>();
        fs::path fragments = session->configHome() + "/pipewire/pipewire.conf.d";
        fs::create_directories(fragments);
        fs::copy_file(
            std::string(VSC_SOURCE_DIR) + "/resources/pipewire/vendaroscope-program-audio.conf",
            fragments / "vendaroscope-program-audio.conf");
        ASSERT_EQ(
            vsc::test::runProgram("/bin/bash", {std::string(VSC_SOURCE_DIR) + "/scripts/session.sh",
                                                "restart-audio", session->dir()}),
            0);
        ASSERT_TRUE(eventually(
            [] { return vsc::test::nodeListed("vendaroscope_program_audio_mic"); }, 10s));
        camera = std::make_unique<Program>(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera",
                                           std::vector<std::string>{});
        ASSERT_TRUE(eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
        viewer = std::make_unique<vsc::test::Viewer>();
        ASSERT_TRUE(viewer->waitFor(30, 10s));
    }
    void TearDown() override {
        // The camera was read the whole time.
        if (viewer) {
            EXPECT_GT(viewer->rate(0), 25.0);
        }
        viewer.reset();
        camera.reset();
    }

    std::unique_ptr<Program> startHost(const std::string& url, double gainDb) {
        std::string config = session->dir() + "/host-config";
        fs::create_directories(config + "/vendaroscope-virtualcam");
        std::ofstream(config + "/vendaroscope-virtualcam/preferences.json")
            << "{\"programURL\": \"" << url
            << "\", \"setupCompleted\": true, \"resumeSending\": true, "
            << "\"audioGainDb\": " << gainDb << "}";
        log = session->dir() + "/host.log";
        return std::make_unique<Program>(
            std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", std::vector<std::string>{},
            std::vector<std::pair<std::string, std::string>>{{"XDG_CONFIG_HOME", config}}, false,
            true, log);
    }

    std::string hostLog() {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    Sound record(double seconds) {
        Recorder recorder;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return measure(recorder.finish());
    }

    std::unique_ptr<vsc::test::DesktopSession> session;
    std::unique_ptr<Program> camera;
    std::unique_ptr<vsc::test::Viewer> viewer;
    std::string log;
};

// Half a minute of a call: the tone at the studio's level, without a single
// click, and 48 000 frames for every second of wall-clock time however busy
// the camera is.
TEST_F(Microphone, CarriesTheStudioToneWithoutAClickAndNothingOnceSendingStops) {
    vsc::test::TestStudio studio;
    auto host = startHost(studio.url("STAGE_1"), 0);
    ASSERT_TRUE(eventually([&] { return hostLog().find("receiving=1") != std::string::npos; }, 20s))
        << hostLog();
    EXPECT_EQ(hostLog().find("Audio output failed"), std::string::npos) << hostLog();

    Recorder recorder;
    std::this_thread::sleep_for(32s);
    auto samples = recorder.finish();
    double span = 0;
    double rate = recorder.framesPerSecond(1.0, &span);
    std::printf("microphone: %.1f frames a second over %.1f s\n", rate, span);
    EXPECT_GT(span, 29.0);
    EXPECT_NEAR(rate, 48000.0, 48.0);

    Sound tone = measure(samples);
    EXPECT_NEAR(tone.frequency, 1000.0, 2.0);
    EXPECT_NEAR(tone.peak, 0.5f, 0.03f);  // the studio's level, gain 0 dB
    EXPECT_TRUE(tone.clicks.empty()) << vsc::test::describeClicks(tone);

    host->send("stop");  // the panel's stop: the output stops with sending
    std::this_thread::sleep_for(1s);
    Sound silence = record(1.5);
    EXPECT_LT(silence.peak, 0.001f);
}

TEST_F(Microphone, NeverGoesAboveMinusOneDecibelEvenAtPlusTwentyFour) {
    vsc::test::TestStudio studio;
    auto host = startHost(studio.url("STAGE_1"), 24);
    ASSERT_TRUE(eventually([&] { return hostLog().find("receiving=1") != std::string::npos; }, 20s))
        << hostLog();
    Sound loud = record(4);
    EXPECT_GT(loud.peak, 0.85f);
    EXPECT_LE(loud.peak, 0.8913f);  // -1 dBFS
    EXPECT_NEAR(loud.frequency, 1000.0, 2.0);
    EXPECT_TRUE(loud.clicks.empty()) << vsc::test::describeClicks(loud);
}

TEST_F(Microphone, ADeviceThatGoesAwayIsReplacedAtTheNextRefresh) {
    vsc::test::TestStudio studio;
    auto host = startHost(studio.url("STAGE_2"), 0);
    ASSERT_TRUE(
        eventually([&] { return hostLog().find("audio selected=") != std::string::npos; }, 10s))
        << hostLog();
    EXPECT_NE(hostLog().find(" name=Vendaroscope Program Audio devices=1"), std::string::npos)
        << hostLog();
    // The microphone's configuration goes and the audio server restarts without it.
    fs::remove(session->configHome() + "/pipewire/pipewire.conf.d/vendaroscope-program-audio.conf");
    ASSERT_EQ(
        vsc::test::runProgram("/bin/bash", {std::string(VSC_SOURCE_DIR) + "/scripts/session.sh",
                                            "restart-audio", session->dir()}),
        0);
    ASSERT_FALSE(vsc::test::nodeListed("vendaroscope_program_audio"));
    host->send("refresh-audio");
    ASSERT_TRUE(eventually(
        [&] { return hostLog().find("audio selected=0 devices=0") != std::string::npos; }, 10s))
        << hostLog();
}

// The application installs the microphone itself: its repair puts the
// configuration in place and makes the audio server provide the device.
TEST(MicrophoneInstall, TheRepairMakesTheDeviceAppearAndItCarriesTheProgramme) {
    vsc::test::DesktopSession session;
    vsc::test::TestStudio studio;
    ASSERT_FALSE(vsc::test::nodeListed("vendaroscope_program_audio_mic"));
    std::string config = session.configHome();
    fs::create_directories(config + "/vendaroscope-virtualcam");
    std::ofstream(config + "/vendaroscope-virtualcam/preferences.json")
        << "{\"programURL\": \"" << studio.url("STAGE_1") << "\", \"setupCompleted\": true}";
    std::string log = session.dir() + "/host.log";
    auto readLog = [&] {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    Program host(std::string(VSC_BINARY_DIR) + "/bin/vsc-headless", {},
                 {{"XDG_CONFIG_HOME", config}}, false, true, log);
    std::this_thread::sleep_for(500ms);
    host.send("repair-audio");
    ASSERT_TRUE(eventually(
        [&] { return readLog().find("Audio driver: Installed") != std::string::npos; }, 15s))
        << readLog();
    EXPECT_NE(readLog().find("Audio driver: installing vendaroscope-program-audio.conf into " +
                             config + "/pipewire/pipewire.conf.d…"),
              std::string::npos);
    EXPECT_NE(readLog().find("Audio driver: Installed · v"), std::string::npos) << readLog();
    EXPECT_TRUE(fs::exists(config + "/pipewire/pipewire.conf.d/vendaroscope-program-audio.conf"));
    EXPECT_TRUE(vsc::test::nodeListed("vendaroscope_program_audio_mic"));

    // Sending now plays into it, and the microphone hears the tone.
    host.send("start");
    ASSERT_TRUE(eventually([&] { return readLog().find("receiving=1") != std::string::npos; }, 20s))
        << readLog();
    Program camera(std::string(VSC_BINARY_DIR) + "/bin/vendaroscope-camera", {});
    ASSERT_TRUE(eventually([] { return vsc::test::nodeListed("Vendaroscope Program"); }, 10s));
    vsc::test::Viewer viewer;
    ASSERT_TRUE(viewer.waitFor(30, 10s));
    Recorder recorder;
    std::this_thread::sleep_for(4s);
    Sound tone = measure(recorder.finish());
    EXPECT_NEAR(tone.frequency, 1000.0, 2.0);
    EXPECT_TRUE(tone.clicks.empty()) << vsc::test::describeClicks(tone);
    EXPECT_NEAR(tone.peak, 0.5f, 0.03f);
}

}  // namespace

namespace {

// The microphone's repair reloads the audio server from a background thread
// while the main queue starts and stops the output and lists the devices:
// each operation of the audio system owns it whole, so none sees another's
// half-made connection or stream (run under ThreadSanitizer in CI).
TEST(AudioSystemThreads, ARepairReloadsWhileTheOutputStartsAndStops) {
    vsc::test::DesktopSession session;
    vsc::PipeWireAudioSystem system;
    const std::string fragment =
        std::string(VSC_SOURCE_DIR) + "/resources/pipewire/vendaroscope-program-audio.conf";
    ASSERT_FALSE(system.reloadServer(fragment));
    std::atomic<bool> done{false};
    std::atomic<int> reloads{0};
    std::thread repair([&] {
        while (!done) {
            EXPECT_FALSE(system.reloadServer(fragment));
            ++reloads;
        }
    });
    int played = 0;
    auto until = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < until) {
        for (const auto& device : system.outputDevices()) {
            if (!vsc::isProgramAudioDevice(device)) continue;
            // The device may be gone again by now: a failure is fine, a crash is not.
            if (!system.start(device.id, [](std::uint32_t, std::span<float* const>) {})) ++played;
            std::this_thread::sleep_for(10ms);
            system.stop();
        }
    }
    done = true;
    repair.join();
    EXPECT_GT(reloads.load(), 1);
    EXPECT_GT(played, 0);
}

}  // namespace
