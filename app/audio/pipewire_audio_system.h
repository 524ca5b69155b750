#pragma once

#include <map>
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
    bool playbackLost() override;

    struct Playback;

  private:
    // With mutex_ held: a working connection (a broken one is replaced and
    // everything made on it dropped), or false when the server cannot be reached.
    bool ensureConnected();
    void dropConnection();
    void stopPlayback();

    // One owner for every PipeWire object of the sound: this object. Each
    // public operation holds mutex_ from start to end, whatever thread it
    // runs on, and reaches PipeWire only with the connection's loop locked
    // inside it. The playback's render runs on PipeWire's data thread and
    // touches only the ring.
    std::mutex mutex_;
    std::unique_ptr<PipeWireConnection> connection_;
    std::unique_ptr<PipeWireNodes> nodes_;
    std::unique_ptr<Playback> playback_;
    // The serial of every device id the last listing gave: an id that now
    // names another node is not the device that was chosen.
    std::map<std::uint32_t, std::uint64_t> listed_;
};

}  // namespace vsc
