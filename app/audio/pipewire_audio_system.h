#pragma once

#include <pipewire/impl-module.h>

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

    // Makes the audio server read the installed microphone configuration: the
    // user's PipeWire services are restarted where systemd manages them;
    // elsewhere this program hosts the configuration's loopback itself until
    // the server next starts. An error text on failure.
    std::optional<std::string> reloadServer(const std::string& configurationFile);

    struct Playback;

  private:
    bool ensureConnected();

    std::mutex mutex_;  // guards connection_ and nodes_ creation
    std::unique_ptr<PipeWireConnection> connection_;
    std::unique_ptr<PipeWireNodes> nodes_;
    std::unique_ptr<Playback> playback_;
    pw_impl_module* hosted_ = nullptr;  // the loopback hosted here, if any
};

}  // namespace vsc
