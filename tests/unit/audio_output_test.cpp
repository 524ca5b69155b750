#include "app/audio/audio_output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "app/model/app_model.h"
#include "support/fakes.h"
#include "support/model_ports.h"
#include "support/recording_dispatcher.h"
#include "support/virtual_clock.h"
#include "support/virtual_main_queue.h"

namespace {

using vsc::AudioDevice;

class FakeAudioSystem final : public vsc::AudioSystem {
  public:
    std::vector<AudioDevice> devices;
    std::optional<vsc::AudioError> failure;
    std::vector<std::uint32_t> started;
    int stops = 0;
    Render render;
    std::optional<vsc::AudioError> start(std::uint32_t id, Render r) override {
        started.push_back(id);
        if (failure) return failure;
        render = std::move(r);
        return std::nullopt;
    }
    void stop() override { ++stops; }
    std::vector<AudioDevice> outputDevices() override { return devices; }
    bool lost = false;
    bool playbackLost() override { return lost; }
};

TEST(AudioDeviceChoice, ProgramDeviceThenBlackHoleThenNone) {
    std::vector<AudioDevice> three = {
        {40, "Built-in Output"}, {55, "BlackHole 2ch"}, {61, "VSC Program Audio"}};
    EXPECT_EQ(vsc::chooseAudioDevice(three, 0), 61u);
    EXPECT_EQ(vsc::chooseAudioDevice(three, 40), 40u);  // a listed choice is kept
    EXPECT_EQ(vsc::chooseAudioDevice({{40, "Built-in Output"}, {70, "BlackHole 16ch"}}, 0), 70u);
    EXPECT_EQ(
        vsc::chooseAudioDevice({{40, "Built-in Output"}, {62, "vendaroscope program audio"}}, 0),
        0u);
    EXPECT_EQ(
        vsc::chooseAudioDevice({{40, "Built-in Output"}, {63, "Vendaroscope Program Audio"}}, 99),
        63u);
    EXPECT_EQ(vsc::chooseAudioDevice({}, 61), 0u);
}

TEST(AudioMeter, RisesAtOnceAndFallsADecibelATick) {
    EXPECT_DOUBLE_EQ(vsc::nextMeterLevel(1.0f, 0), 1.0);
    EXPECT_NEAR(vsc::nextMeterLevel(0.0316f, 0), 0.5, 0.001);
    EXPECT_NEAR(vsc::nextMeterLevel(0.001f, 0), 0.0, 1e-7);  // -60 dBFS
    EXPECT_EQ(vsc::nextMeterLevel(0.0009f, 0), 0.0);
    EXPECT_EQ(vsc::nextMeterLevel(0.0f, 0), 0.0);
    EXPECT_DOUBLE_EQ(vsc::nextMeterLevel(0.0f, 1.0), 1.0 - 1.0 / 60.0);
}

TEST(AudioOutput, RendersTheRingThroughTheSystemWithGain) {
    auto system = std::make_shared<FakeAudioSystem>();
    vsc::AudioOutput output(system);
    output.setGainDb(-6);
    output.setDelayMs(0);
    ASSERT_FALSE(output.start(61));
    std::vector<float> block(960, 0.5f);
    for (int i = 0; i < 10; ++i) output.write(block);  // 100 ms: primed
    std::vector<float> left(480), right(480);
    float* planes[2] = {left.data(), right.data()};
    system->render(480, std::span<float* const>(planes, 2));
    EXPECT_NEAR(left[10], 0.5f * std::pow(10.0f, -6.0f / 20.0f), 1e-5);
    EXPECT_NEAR(right[479], left[479], 1e-7);
    EXPECT_NEAR(output.takePeak(), left[10], 1e-6);

    // While another thread holds the ring for longer than a block copy, the
    // real-time side does not wait for it: it plays silence, counts it, and
    // the buffered sound is still there after.
    {
        std::lock_guard<vsc::UnfairLock> writer(output.ring().lock);
        system->render(480, std::span<float* const>(planes, 2));
    }
    EXPECT_EQ(left[0], 0.0f);
    EXPECT_EQ(right[479], 0.0f);
    EXPECT_EQ(output.busyRenders(), 1);
    system->render(480, std::span<float* const>(planes, 2));
    EXPECT_NEAR(left[0], 0.5f * std::pow(10.0f, -6.0f / 20.0f), 1e-5);
    output.stop();
    output.stop();
    EXPECT_EQ(system->stops, 1);
}

class ModelSound : public vsc::test::IsolatedModelTest {
  protected:
    std::shared_ptr<vsc::AppModel> make() {
        vsc::AppModel::Ports ports = this->ports();
        ports.audioSystem = system;
        ports.audioDriver = driver;
        ports.reloadAudioServer = [this] {
            ++reloads;
            return std::optional<std::string>();
        };
        output = std::make_shared<vsc::AudioOutput>(system);
        ports.audio = output;
        ports.notifications = notifications;
        return create(ports);
    }
    std::shared_ptr<vsc::test::FakeNotifications> notifications =
        std::make_shared<vsc::test::FakeNotifications>();
    std::shared_ptr<FakeAudioSystem> system = std::make_shared<FakeAudioSystem>();
    std::shared_ptr<vsc::AudioOutput> output;
    std::shared_ptr<vsc::AudioDriverInstaller> driver;
    int reloads = 0;
};

TEST_F(ModelSound, ChoosesAtStartUpAndReplacesAVanishedDevice) {
    system->devices = {{40, "Built-in Output"}, {61, "Vendaroscope Program Audio"}};
    auto model = make();
    EXPECT_EQ(model->selectedAudioDevice(), 61u);
    EXPECT_EQ(model->audioDevices().size(), 2u);
    system->devices = {{40, "Built-in Output"}, {70, "BlackHole 2ch"}};
    model->refreshAudioDevices();
    EXPECT_EQ(model->selectedAudioDevice(), 70u);

    // A restarted audio server gives the freed id 70 to another device: the
    // choice is made again rather than kept by the id alone.
    system->devices = {{40, "Built-in Output", 1}, {70, "BlackHole 2ch", 2}};
    model->refreshAudioDevices();
    EXPECT_EQ(model->selectedAudioDevice(), 70u);
    system->devices = {{70, "Vendaroscope Program Audio", 7}, {71, "BlackHole 2ch", 8}};
    model->refreshAudioDevices();
    EXPECT_EQ(model->selectedAudioDevice(), 70u);  // chosen anew: the programme device
    system->devices = {{70, "HDMI", 9}, {71, "BlackHole 2ch", 8}};
    model->refreshAudioDevices();
    EXPECT_EQ(model->selectedAudioDevice(), 71u);
}

// The settings' picker: a device the user picks stays chosen over the
// programme device; "None" stays none through listings, and sends no sound.
TEST_F(ModelSound, TheUsersChoiceOfOutputStaysThroughListings) {
    prefs.set("programURL", std::string("rtsp://h/STAGE_1"));
    system->devices = {{40, "Built-in Output", 1}, {61, "Vendaroscope Program Audio", 2}};
    auto model = make();
    EXPECT_EQ(model->selectedAudioDevice(), 61u);
    model->setSelectedAudioDevice(40);
    model->refreshAudioDevices();
    EXPECT_EQ(model->selectedAudioDevice(), 40u);
    model->setSelectedAudioDevice(0);
    model->refreshAudioDevices();
    EXPECT_EQ(model->selectedAudioDevice(), 0u);
    model->startSending();
    EXPECT_TRUE(system->started.empty());
    model->stopSending();
    // A device picked again is followed by its identity: gone, another is chosen.
    model->setSelectedAudioDevice(40);
    system->devices = {{40, "HDMI", 5}, {61, "Vendaroscope Program Audio", 2}};
    model->refreshAudioDevices();
    EXPECT_EQ(model->selectedAudioDevice(), 61u);
}

TEST_F(ModelSound, SendingStartsAndStopsTheOutputAndLogsAFailure) {
    prefs.set("programURL", std::string("rtsp://h/STAGE_1"));
    auto model = make();
    auto soundLines = [&] {
        std::vector<std::string> lines;
        for (const auto& l : logs)
            if (l.rfind("Audio", 0) == 0) lines.push_back(l);
        return lines;
    };
    model->startSending();  // no device: nothing started, nothing said
    EXPECT_TRUE(system->started.empty());
    EXPECT_TRUE(soundLines().empty());
    model->stopSending();
    system->devices = {{61, "Vendaroscope Program Audio"}};
    model->refreshAudioDevices();
    system->failure = vsc::AudioError{"PipeWire", -2, "The audio device 61 is gone"};
    main.advance(2);
    model->startSending();
    EXPECT_EQ(system->started, std::vector<std::uint32_t>{61});
    EXPECT_EQ(soundLines(),
              std::vector<std::string>{"Audio output failed: The audio device 61 is gone"});
    EXPECT_TRUE(model->running());
}

// One hand-edited number must not stop the program at every start: stored
// values outside what the settings offer are read as the nearest offered.
TEST_F(ModelSound, StoredNumbersOutsideTheSettingsAreClampedWhenRead) {
    prefs.set("audioDelayMs", 3e17);  // beyond what a frame count can hold
    prefs.set("audioGainDb", -1e300);
    prefs.set("videoDelayMs", std::nan(""));
    auto model = make();
    EXPECT_EQ(model->audioDelayMs(), 1000);
    EXPECT_EQ(output->ring().targetFrames.load(), 1000 * 48);
    EXPECT_EQ(model->audioGainDb(), -24);
    EXPECT_EQ(model->videoDelayMs(), 0);
    model->setAudioGainDb(99);
    EXPECT_EQ(model->audioGainDb(), 24);
    EXPECT_EQ(prefs.doubleValue("audioGainDb"), 24);
}

// Sending starts before the microphone's device is listed (Start clicked
// right after its repair), and later the microphone's service (or the user's
// audio server) restarts while sending: each time the output waits for a
// device to be listed and then plays into it.
TEST_F(ModelSound, AnOutputStartsOnceItsDeviceIsListedAndAgainAfterItWent) {
    prefs.set("programURL", std::string("rtsp://h/STAGE_1"));
    auto model = make();
    model->startSending();
    EXPECT_TRUE(system->started.empty());
    main.advance(2);
    EXPECT_TRUE(system->started.empty());
    system->devices = {{61, "Vendaroscope Program Audio", 1}};
    main.advance(2);
    ASSERT_EQ(system->started, std::vector<std::uint32_t>{61});
    main.advance(2);
    EXPECT_EQ(system->started.size(), 1u);  // playing: left alone

    system->lost = true;
    system->devices = {};
    main.advance(2);
    EXPECT_EQ(system->stops, 1);
    EXPECT_EQ(model->selectedAudioDevice(), 0u);
    EXPECT_EQ(std::count(logs.begin(), logs.end(),
                         "Audio output lost; it starts again once its device is back"),
              1);
    system->lost = false;
    main.advance(4);
    EXPECT_EQ(system->started.size(), 1u);  // nothing to play into yet
    system->devices = {{64, "Vendaroscope Program Audio", 2}};
    main.advance(2);
    EXPECT_EQ(system->started, (std::vector<std::uint32_t>{61, 64}));
    main.advance(4);
    EXPECT_EQ(system->started.size(), 2u);
    model->stopSending();
}

TEST_F(ModelSound, TheMeterPublishesOnlyChangesAndAppliesStoredSettings) {
    prefs.set("audioGainDb", 6.0);
    prefs.set("audioDelayMs", 250.9);
    auto model = make();
    EXPECT_EQ(output->ring().targetFrames.load(), 250 * 48);  // the delay truncated
    EXPECT_NEAR(output->ring().gain.load(), std::pow(10.0, 6.0 / 20.0), 1e-6);
    int changes = 0;
    model->observe([&] { ++changes; });
    main.advance(1.0 / 30.0 + 1e-9);  // one meter tick at silence: level stays 0
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(model->audioLevelDb(), -60);
    model->setAudioGainDb(-24);
    model->setAudioDelayMs(40);
    EXPECT_EQ(prefs.doubleValue("audioGainDb"), -24);
    EXPECT_EQ(output->ring().targetFrames.load(), 4800);  // 100 ms at least
    EXPECT_NEAR(output->ring().gain.load(), std::pow(10.0, -24.0 / 20.0), 1e-6);
    // A loud block rendered: the next tick rises at once, the ones after fall.
    ASSERT_FALSE(output->start(61));  // starts with an empty ring
    std::vector<float> block(960, 1.0f);
    for (int i = 0; i < 10; ++i) output->write(block);
    std::vector<float> left(480), right(480);
    float* planes[2] = {left.data(), right.data()};
    system->render(480, std::span<float* const>(planes, 2));
    main.advance(1.0 / 30.0);
    EXPECT_NEAR(model->audioLevelDb(), -24, 0.01);
    main.advance(1.0 / 30.0);
    EXPECT_NEAR(model->audioLevelDb(), -25, 0.01);
}

TEST_F(ModelSound, TwoQuickRepairsRunOneAndTheLogTellsTheStateReached) {
    char pattern[] = "/tmp/vsc-model-repair-XXXXXX";
    std::string dir = mkdtemp(pattern);
    std::filesystem::create_directories(dir + "/resources/pipewire");
    std::ofstream(dir + "/resources/pipewire/" + vsc::AudioDriverInstaller::kFileName)
        << "# vendaroscope.version.short = 1.0\n# vendaroscope.version.build = 1\n";
    driver = std::make_shared<vsc::AudioDriverInstaller>(dir + "/resources", dir + "/config");
    auto model = make();
    EXPECT_EQ(model->audioDriverState(), vsc::AudioDriverState{vsc::DriverMissing{}});
    model->repairAudioDriver();
    model->repairAudioDriver();
    EXPECT_TRUE(model->repairingAudioDriver());
    dispatcher.joinAll();  // the repair ran once, off the main thread
    EXPECT_EQ(reloads, 1);
    system->devices = {{61, "Vendaroscope Program Audio"}};  // the server lists it now
    EXPECT_EQ(dispatcher.delays().back(), 1.5);
    dispatcher.fireDelayed();
    dispatcher.joinAll();
    main.runPending();
    EXPECT_FALSE(model->repairingAudioDriver());
    EXPECT_EQ(model->selectedAudioDevice(), 61u);
    EXPECT_EQ(logs, (std::vector<std::string>{
                        "Audio driver: installing vendaroscope-program-audio.conf into " + dir +
                            "/config/pipewire…",
                        "Audio driver: Installed · v1.0 (1)"}));
    std::filesystem::remove_all(dir);
}

// The microphone's problem is told once when it arises, not while it lasts,
// and again when it comes back; never before the set-up is complete, and not
// when there is no microphone to install at all.
TEST_F(ModelSound, AMicrophoneProblemIsToldOncePerOccurrence) {
    char pattern[] = "/tmp/vsc-model-notify-XXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string bundled = dir + "/resources/pipewire/" + vsc::AudioDriverInstaller::kFileName;
    std::filesystem::create_directories(dir + "/resources/pipewire");
    std::ofstream(bundled)
        << "# vendaroscope.version.short = 1.0\n# vendaroscope.version.build = 1\n";
    driver = std::make_shared<vsc::AudioDriverInstaller>(dir + "/resources", dir + "/config");
    auto model = make();
    ASSERT_EQ(model->audioDriverState(), vsc::AudioDriverState{vsc::DriverMissing{}});
    main.advance(3);
    EXPECT_TRUE(notifications->posted.empty());  // the welcome assistant has not finished

    model->setSetupCompleted(true);
    main.advance(5);
    ASSERT_EQ(notifications->posted.size(), 1u);
    EXPECT_EQ(notifications->posted[0].notification,
              (vsc::Notification{"microphone-repair", "Microphone needs a repair",
                                 "Video apps get the picture but no sound. Open the menu bar "
                                 "panel and click Repair microphone.",
                                 "vendaroscope-virtual-webcam", true}));

    // Repaired and listed: cleared.
    std::filesystem::create_directories(
        std::filesystem::path(driver->installedFile()).parent_path());
    std::filesystem::copy_file(bundled, driver->installedFile());
    system->devices = {{61, "Vendaroscope Program Audio"}};
    model->refreshAudioDevices();
    ASSERT_TRUE(std::holds_alternative<vsc::DriverOk>(model->audioDriverState()));
    main.advance(2);
    EXPECT_EQ(notifications->posted.size(), 1u);

    // Nothing to install it from: unavailable, which no repair can mend.
    std::filesystem::rename(bundled, bundled + ".away");
    model->refreshAudioDevices();
    ASSERT_EQ(model->audioDriverState(), vsc::AudioDriverState{vsc::DriverUnavailable{}});
    main.advance(2);
    EXPECT_EQ(notifications->posted.size(), 1u);

    // Back, but no longer listed: a new occurrence, told again.
    std::filesystem::rename(bundled + ".away", bundled);
    system->devices = {};
    model->refreshAudioDevices();
    main.advance(2);
    EXPECT_EQ(notifications->identifiers(),
              (std::vector<std::string>{"microphone-repair", "microphone-repair"}));
    std::filesystem::remove_all(dir);
}

}  // namespace
