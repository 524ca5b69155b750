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
    publish(audioDevices, ports_.audioSystem ? ports_.audioSystem->outputDevices()
                                             : std::vector<AudioDevice>{});
    std::uint32_t chosen = chooseAudioDevice(audioDevices.value_, selectedAudioDevice.value_);
    if (chosen != selectedAudioDevice.value_) publish(selectedAudioDevice, chosen);
    bool loaded = std::any_of(audioDevices.value_.begin(), audioDevices.value_.end(),
                              [](const AudioDevice& d) { return isProgramAudioDevice(d); });
    if (ports_.audioDriver) publish(audioDriverState, ports_.audioDriver->state(loaded));
}

void AppModel::startAudioOutput() {
    if (!audio_ || selectedAudioDevice.value_ == 0) return;
    if (auto error = audio_->start(selectedAudioDevice.value_))
        log("Audio output failed: " + error->description);
}

void AppModel::stopAudioOutput() {
    if (audio_) audio_->stop();
}

void AppModel::updateAudioMeter() {
    float peak = audio_ ? audio_->takePeak() : 0.0f;
    double level = nextMeterLevel(peak, audioLevel.value_);
    if (level == audioLevel.value_) return;
    audioLevel.value_ = level;
    publish(audioLevelDb, level * 60.0 - 60.0);
}

}  // namespace vsc
