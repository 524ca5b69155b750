#include "app/audio/audio_output.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace vsc {

AudioOutput::AudioOutput(std::shared_ptr<AudioSystem> system)
    : system_(std::move(system)),
      ring_(std::make_shared<AudioRing>(kRingFrames, kChannels)),
      busyRenders_(std::make_shared<std::atomic<std::int64_t>>(0)) {
    ring_->targetFrames.store(4800);
}

std::optional<AudioError> AudioOutput::start(std::uint32_t deviceId) {
    stop();
    if (!system_) return AudioError{"VSCVirtualCam", 1, "No audio system to play into"};
    {
        std::lock_guard<UnfairLock> hold(ring_->lock);
        ring_->reset();
    }
    std::shared_ptr<AudioRing> ring = ring_;
    auto busy = busyRenders_;
    auto error = system_->start(
        deviceId, [ring, busy](std::uint32_t frames, std::span<float* const> buffers) {
            // A writer copies a block in a few microseconds, and a render
            // meets it now and then: wait that out. A writer preempted while
            // holding the lock could keep it for a whole quantum, so past
            // kRenderLockWait the real-time thread plays silence instead:
            // a shorter gap than a late buffer.
            if (!ring->lock.tryLockWithin(kRenderLockWait)) {
                for (float* buffer : buffers)
                    if (buffer) std::fill_n(buffer, frames, 0.0f);
                busy->fetch_add(1, std::memory_order_relaxed);
                return;
            }
            std::lock_guard<UnfairLock> hold(ring->lock, std::adopt_lock);
            ring->render(frames, buffers);
        });
    started_ = !error;
    return error;
}

AudioOutput::Gaps AudioOutput::gaps() {
    std::lock_guard<UnfairLock> hold(ring_->lock);
    return {ring_->underruns, ring_->trimmedFrames, busyRenders()};
}

void AudioOutput::stop() {
    if (!started_ || !system_) return;
    system_->stop();
    started_ = false;
}

void AudioOutput::write(std::span<const float> samples) {
    const auto frames = static_cast<std::int64_t>(samples.size()) / ring_->channels;
    std::lock_guard<UnfairLock> hold(ring_->lock);
    ring_->write(samples.data(), frames);
}

void AudioOutput::setDelayMs(std::int64_t delayMs) {
    delayMs_ = delayMs;
    ring_->setDelayMs(delayMs);
}

void AudioOutput::setGainDb(double gainDb) {
    gainDb_ = gainDb;
    ring_->setGainDb(gainDb);
}

float AudioOutput::takePeak() {
    std::lock_guard<UnfairLock> hold(ring_->lock);
    return ring_->takePeak();
}

bool isProgramAudioDevice(const AudioDevice& device) {
    return device.name == "Vendaroscope Program Audio" || device.name == "VSC Program Audio";
}

std::uint32_t chooseAudioDevice(const std::vector<AudioDevice>& devices, std::uint32_t current,
                                std::uint64_t currentIdentity) {
    for (const auto& d : devices)
        if (d.id == current && (currentIdentity == 0 || d.identity == currentIdentity))
            return current;
    for (const auto& d : devices)
        if (isProgramAudioDevice(d)) return d.id;
    for (const auto& d : devices)
        if (d.name.find("BlackHole") != std::string::npos) return d.id;
    return 0;
}

double nextMeterLevel(float peak, double previousLevel) {
    double level = (20.0 * std::log10(std::max(static_cast<double>(peak), 0.00001)) + 60.0) / 60.0;
    if (level <= 0) level = 0;
    if (level > 1) level = 1;
    return std::max(level, previousLevel - 1.0 / 60.0);
}

}  // namespace vsc
