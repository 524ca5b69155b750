#include "app/model/system_ports.h"

#include "app/audio/pipewire_audio_system.h"
#include "app/camera/pipewire_camera_system.h"
#include "app/camera/system_camera.h"
#include "platform/extension_service_user.h"
#include "platform/notifications.h"
#include "platform/process.h"

namespace vsc {

SystemPorts makeSystemPorts(MainQueue& main, Preferences& preferences,
                            std::function<void()> terminate) {
    SystemPorts system;
    system.services = makeUserServices();
    AppModel::Ports& ports = system.ports;
    ports.main = &main;
    ports.preferences = &preferences;
    ports.resourcesDir = resourcesDirectory();
    ports.sink = std::make_shared<CameraSink>(std::make_shared<PipeWireCameraSystem>());
    auto audioSystem = std::make_shared<PipeWireAudioSystem>();
    ports.audioSystem = audioSystem;
    ports.audio = std::make_shared<AudioOutput>(audioSystem);
    ports.audioDriver = std::make_shared<AudioDriverInstaller>(
        ports.resourcesDir, AudioDriverInstaller::defaultConfigHome());
    // The microphone is a user service of its own: a repair (re)starts it,
    // never the user's audio server.
    ports.reloadAudioServer = [services = system.services, installer = ports.audioDriver] {
        return services->install(installer->serviceSpec(helperProgram("vendaroscope-microphone")));
    };
    system.services->ensureRunning(AudioDriverInstaller::kServiceName);
    ports.extensionService = makeUserServiceExtensionService(
        ports.resourcesDir, cameraInstallFolder(), system.services, main);
    ports.systemCameraListed = systemListsCamera;
    system.notifications = std::make_shared<FreedesktopNotifications>(main);
    ports.notifications = system.notifications;
    ports.terminate = std::move(terminate);
    return system;
}

}  // namespace vsc
