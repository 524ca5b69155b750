#pragma once

#include <functional>
#include <optional>
#include <string>

#include "app/audio/audio_driver_state.h"
#include "platform/user_service.h"

namespace vsc {

// The virtual microphone's installation: a PipeWire client configuration
// that the application carries among its resources and installs into the
// user's PipeWire configuration folder, where a user service of ours runs it
// (pipewire -c). Its version is written inside it as two keys,
// "vendaroscope.version.short" and "vendaroscope.version.build".
class AudioDriverInstaller {
  public:
    static constexpr const char* kFileName = "vendaroscope-program-audio.conf";

    // resourcesDir: the application's resources; configHome: the user's
    // configuration folder ($XDG_CONFIG_HOME or ~/.config; empty when the
    // user has no home folder, and then nothing can be installed).
    AudioDriverInstaller(std::string resourcesDir, std::string configHome);

    // The copy among the resources and the installed one.
    std::string resourceCopy() const;
    std::string installedFolder() const;
    std::string installedFile() const;
    // Where an earlier version installed it, inside the audio server's own
    // configuration: moved away by a repair.
    std::string olderFragment() const;

    // "short (build)", "?" for a key that is missing; none when the file
    // cannot be read.
    static std::optional<std::string> versionText(const std::string& path);

    // The state, given whether the system lists a programme audio device.
    AudioDriverState state(bool loaded) const;

    // Makes the installed configuration live: (re)starts the microphone's
    // service; an error text on failure.
    using Reload = std::function<std::optional<std::string>()>;

    // Replaces the installed configuration with the bundled one (the old one
    // stays whole until the new one is complete), moves an earlier version's
    // fragment out of the audio server's configuration, then reloads. An
    // error text on failure. Blocks: never call it on the main thread.
    std::optional<std::string> repair(const Reload& reload) const;

    // The user service that runs the installed configuration with the
    // program that publishes it (vendaroscope-microphone).
    static constexpr const char* kServiceName = "vendaroscope-program-audio";
    UserServiceSpec serviceSpec(const std::string& program) const;

    static std::string defaultConfigHome();

  private:
    std::string resourcesDir_;
    std::string configHome_;
};

// The user's words for a state.
std::string summary(const AudioDriverState& state);

}  // namespace vsc
