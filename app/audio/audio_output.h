#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/audio/audio_device.h"
#include "app/audio/audio_ring.h"

namespace vsc {

// Why the audio output could not start.
struct AudioError {
    std::string domain;
    std::int64_t code = 0;
    std::string description;
};

// The audio system under the output: plays a render callback on a device, and
// lists the devices that accept playback. One real implementation on PipeWire.
class AudioSystem {
  public:
    virtual ~AudioSystem() = default;
    // The render callback fills `frames` frames into each of the two planar
    // 48 kHz float buffers, on the audio system's real-time thread.
    using Render = std::function<void(std::uint32_t frames, std::span<float* const> buffers)>;
    virtual std::optional<AudioError> start(std::uint32_t deviceId, Render render) = 0;
    virtual void stop() = 0;
    // Output-capable devices in the order the system lists them; empty when it
    // cannot be asked.
    virtual std::vector<AudioDevice> outputDevices() = 0;
    // The playback started last ended by itself: its device, or the audio
    // server, went away.
    virtual bool playbackLost() { return false; }
};

// Plays the programme sound through the ring into the chosen device.
class AudioOutput {
  public:
    static constexpr std::int64_t kRingFrames = 192000;
    static constexpr std::int64_t kChannels = 2;
    // How long the real-time thread waits for a writer that holds the ring.
    static constexpr std::chrono::microseconds kRenderLockWait{200};

    explicit AudioOutput(std::shared_ptr<AudioSystem> system);

    // Stops first, then plays into the device; the ring starts empty.
    std::optional<AudioError> start(std::uint32_t deviceId);
    void stop();
    // One block of interleaved stereo samples from the receiver's audio thread.
    void write(std::span<const float> samples);
    void setDelayMs(std::int64_t delayMs);
    void setGainDb(double gainDb);
    // The output peak since the last call (for the meter).
    float takePeak();

    // Started, and its playback ended by itself since (see AudioSystem).
    bool lost() { return started_ && system_ && system_->playbackLost(); }

    // Render calls that found the ring's lock taken and played silence.
    std::int64_t busyRenders() const { return busyRenders_->load(std::memory_order_relaxed); }
    // Gaps in the sound so far: the ring ran dry while playing, frames the
    // backlog trim discarded, and renders that found the lock taken.
    struct Gaps {
        std::int64_t underruns = 0;
        std::int64_t trimmedFrames = 0;
        std::int64_t busyRenders = 0;
    };
    Gaps gaps();

    std::int64_t delayMs() const { return delayMs_; }
    double gainDb() const { return gainDb_; }
    AudioRing& ring() { return *ring_; }

  private:
    std::shared_ptr<AudioSystem> system_;
    std::shared_ptr<AudioRing> ring_;
    std::shared_ptr<std::atomic<std::int64_t>> busyRenders_;
    bool started_ = false;
    std::int64_t delayMs_ = 0;
    double gainDb_ = 0;
};

// The two names of the virtual microphone's output device.
bool isProgramAudioDevice(const AudioDevice& device);

// The device to play to after a refresh: the current one while it is listed
// (the same device: its identity unchanged, when known), else the first
// program audio device, else the first whose name contains "BlackHole", else
// none (0).
std::uint32_t chooseAudioDevice(const std::vector<AudioDevice>& devices, std::uint32_t current,
                                std::uint64_t currentIdentity = 0);

// The meter's next level (0...1, linear in dB over -60...0 dBFS) from the
// output peak, falling by at most 1/60 a tick.
double nextMeterLevel(float peak, double previousLevel);

}  // namespace vsc
