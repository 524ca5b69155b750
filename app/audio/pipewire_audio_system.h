#pragma once

#include <memory>
#include <mutex>

#include "app/audio/audio_output.h"
#include "platform/pipewire_connection.h"
#include "platform/pipewire_nodes.h"

namespace vsc {

// Sound on PipeWire: a playback stream (48 kHz, 2 channels, planar 32-bit
// float) linked to the chosen device's node, whose process callback renders
// on PipeWire's real-time data thread. Device ids are PipeWire global ids;
// the output devices are the nodes that accept playback (Audio/Sink and
// Audio/Duplex), in registry order, named by their descriptions.
class PipeWireAudioSystem final : public AudioSystem {
public:
    PipeWireAudioSystem();
    ~PipeWireAudioSystem() override;

    std::optional<AudioError> start(std::uint32_t deviceId, Render render) override;
    void stop() override;
    std::vector<AudioDevice> outputDevices() override;

    struct Playback;

private:
    bool ensureConnected();

    std::mutex mutex_;  // guards connection_ and nodes_ creation
    std::unique_ptr<PipeWireConnection> connection_;
    std::unique_ptr<PipeWireNodes> nodes_;
    std::unique_ptr<Playback> playback_;
};

}  // namespace vsc
