// The virtual microphone as a video application hears it: the microphone's
// PipeWire configuration in a private session, the headless host sending the
// test studio's programme, and pw-record recording the microphone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/desktop_session.h"
#include "support/test_studio.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vsc::test::eventually;
using vsc::test::Program;

namespace {

// The left channel of a 32-bit float stereo WAV file.
std::vector<float> leftChannel(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<float> left;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        std::uint32_t size;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (bytes.compare(at, 4, "data") == 0) {
            std::size_t end = std::min(bytes.size(), at + 8 + size);
            for (std::size_t i = at + 8; i + 8 <= end; i += 8) {
                float sample;
                std::memcpy(&sample, bytes.data() + i, 4);
                left.push_back(sample);
            }
            break;
        }
        at += 8 + size;
    }
    return left;
}

struct Sound {
    double frequency = 0;
    float peak = 0;
};

// Frequency from rising zero crossings over the loud part, and the peak.
Sound measure(const std::vector<float>& samples) {
    Sound sound;
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        sound.peak = std::max(sound.peak, std::fabs(samples[i]));
        if (samples[i - 1] < 0 && samples[i] >= 0 && std::fabs(samples[i]) < 0.5f) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    if (crossings > 1)
        sound.frequency = (crossings - 1) * 48000.0 / static_cast<double>(last - first);
    return sound;
}

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

    Sound record(const std::string& name, double seconds) {
        fs::path wav = session->dir() + "/" + name + ".wav";
        {
            Program recorder("/usr/bin/pw-record",
                             {"--target", "vendaroscope_program_audio_mic", "--rate", "48000",
                              "--channels", "2", "--format", "f32", wav.string()});
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            recorder.stop(SIGINT);
        }
        auto samples = leftChannel(wav);
        // Leave out the first half second: the link is still being made.
        if (samples.size() > 24000) samples.erase(samples.begin(), samples.begin() + 24000);
        return measure(samples);
    }

    std::unique_ptr<vsc::test::DesktopSession> session;
    std::string log;
};

TEST_F(Microphone, CarriesTheStudioToneAndNothingOnceSendingStops) {
    vsc::test::TestStudio studio;
    auto host = startHost(studio.url("STAGE_1"), 0);
    ASSERT_TRUE(eventually([&] { return hostLog().find("receiving=1") != std::string::npos; }, 20s))
        << hostLog();
    EXPECT_EQ(hostLog().find("Audio output failed"), std::string::npos) << hostLog();
    Sound tone = record("tone", 2.5);
    EXPECT_NEAR(tone.frequency, 1000.0, 2.0);
    EXPECT_NEAR(tone.peak, 0.5f, 0.03f);  // the studio's level, gain 0 dB

    host->send("stop");  // the panel's stop: the output stops with sending
    std::this_thread::sleep_for(1s);
    Sound silence = record("silence", 1.5);
    EXPECT_LT(silence.peak, 0.001f);
}

TEST_F(Microphone, NeverGoesAboveMinusOneDecibelEvenAtPlusTwentyFour) {
    vsc::test::TestStudio studio;
    auto host = startHost(studio.url("STAGE_1"), 24);
    ASSERT_TRUE(eventually([&] { return hostLog().find("receiving=1") != std::string::npos; }, 20s))
        << hostLog();
    Sound loud = record("loud", 2.5);
    EXPECT_GT(loud.peak, 0.85f);
    EXPECT_LE(loud.peak, 0.8913f);  // -1 dBFS
    EXPECT_NEAR(loud.frequency, 1000.0, 2.0);
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
    fs::path wav = session.dir() + "/after-repair.wav";
    {
        Program recorder("/usr/bin/pw-record",
                         {"--target", "vendaroscope_program_audio_mic", "--rate", "48000",
                          "--channels", "2", "--format", "f32", wav.string()});
        std::this_thread::sleep_for(2s);
        recorder.stop(SIGINT);
    }
    auto samples = leftChannel(wav);
    if (samples.size() > 24000) samples.erase(samples.begin(), samples.begin() + 24000);
    Sound tone = measure(samples);
    EXPECT_NEAR(tone.frequency, 1000.0, 2.0);
    EXPECT_NEAR(tone.peak, 0.5f, 0.03f);
}

}  // namespace
