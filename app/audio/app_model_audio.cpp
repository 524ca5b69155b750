// The model's sound: settings applied to the output, the device choice, the
// output started and stopped with sending, and the level meter.
#include <algorithm>
#include <cmath>

#include "app/model/app_model.h"

namespace vsc {

void AppModel::applyAudioSettings() {
    if (!audio_) return;
    audio_->setDelayMs(static_cast<std::int64_t>(audioDelayMs.value_));
    audio_->setGainDb(audioGainDb.value_);
}

void AppModel::refreshAudioDevices() {
    if (!audio_) return;
    publish(audioDevices,
            ports_.audioSystem ? ports_.audioSystem->outputDevices() : std::vector<AudioDevice>{});
    std::uint32_t chosen =
        noAudioDeviceChosen_
            ? 0
            : chooseAudioDevice(audioDevices.value_, selectedAudioDevice.value_,
                                selectedAudioIdentity_);
    selectedAudioIdentity_ = 0;
    for (const auto& d : audioDevices.value_)
        if (d.id == chosen) selectedAudioIdentity_ = d.identity;
    if (chosen != selectedAudioDevice.value_) publish(selectedAudioDevice, chosen);
    bool loaded = std::any_of(audioDevices.value_.begin(), audioDevices.value_.end(),
                              [](const AudioDevice& d) { return isProgramAudioDevice(d); });
    if (ports_.audioDriver) publish(audioDriverState, ports_.audioDriver->state(loaded));
}

void AppModel::setSelectedAudioDevice(std::uint32_t value) {
    noAudioDeviceChosen_ = value == 0;
    selectedAudioIdentity_ = 0;
    for (const auto& d : audioDevices.value_)
        if (d.id == value) selectedAudioIdentity_ = d.identity;
    publish(selectedAudioDevice, value);
}

void AppModel::startAudioOutput() {
    if (!audio_) return;
    if (selectedAudioDevice.value_ == 0) {
        // Sending can start before the microphone's device is listed (Start
        // clicked right after its repair): the camera checks start the output
        // once there is one, unless the user chose none.
        restoreAudio_ = !noAudioDeviceChosen_;
        return;
    }
    if (auto error = audio_->start(selectedAudioDevice.value_))
        log("Audio output failed: " + error->description);
}

void AppModel::stopAudioOutput() {
    restoreAudio_ = false;
    if (audio_) audio_->stop();
}

// The sound's device can go while sending (the microphone's service or the
// user's audio server restarted): the devices are listed again and the
// output started on the chosen one, every camera check until it plays.
void AppModel::checkAudioOutput() {
    if (!audio_ || !running.value_) return;
    if (audio_->lost()) {
        audio_->stop();
        restoreAudio_ = true;
        log("Audio output lost; it starts again once its device is back");
    }
    if (!restoreAudio_) return;
    refreshAudioDevices();
    if (selectedAudioDevice.value_ == 0) return;
    restoreAudio_ = false;
    startAudioOutput();
}

void AppModel::updateAudioMeter() {
    float peak = audio_ ? audio_->takePeak() : 0.0f;
    double level = nextMeterLevel(peak, audioLevel.value_);
    if (level == audioLevel.value_) return;
    audioLevel.value_ = level;
    publish(audioLevelDb, level * 60.0 - 60.0);
}

void AppModel::repairAudioDriver() {
    if (repairingAudioDriver.value_ || !ports_.audioDriver) return;
    publish(repairingAudioDriver, true);
    auto installer = ports_.audioDriver;
    log("Audio driver: installing " + std::string(AudioDriverInstaller::kFileName) + " into " +
        installer->installedFolder() + "…");
    std::weak_ptr<AppModel> weak = weak_from_this();
    MainQueue* main = ports_.main;
    Dispatcher* dispatcher = ports_.dispatcher;
    auto reload = ports_.reloadAudioServer;
    dispatcher->async([weak, main, dispatcher, installer, reload] {
        std::optional<std::string> failure = installer->repair(reload);
        // Give the audio server a moment to list the device before looking.
        dispatcher->asyncAfter(1.5, [weak, main, failure] {
            main->post([weak, failure] {
                auto self = weak.lock();
                if (!self) return;
                self->publish(self->repairingAudioDriver, false);
                self->refreshAudioDevices();
                self->checkAudioOutput();
                self->log("Audio driver: " +
                          (failure ? *failure : summary(self->audioDriverState.value_)));
            });
        });
    });
}

}  // namespace vsc
