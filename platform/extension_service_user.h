#pragma once

#include <memory>
#include <string>

#include "platform/extension_service.h"
#include "platform/main_queue.h"
#include "platform/user_service.h"

namespace vsc {

// The camera extension as a user service. Its bundle (the camera program
// and its version manifest, with the keys CFBundleShortVersionString and
// CFBundleVersion) lies in the application's resources under the
// extension's identifier; activation copies it to installFolder/<identifier>
// and installs the user service "vendaroscope-camera" that runs it;
// deactivation removes both; the properties request reads the installed
// manifest (enabled while its service is installed) and brings back a camera
// that nothing runs. Requests run one after another on a thread of their
// own and answer on the main queue. Approval and restarts of the computer
// are never needed here.
std::shared_ptr<ExtensionService> makeUserServiceExtensionService(
    std::string resourcesDir, std::string installFolder, std::shared_ptr<UserServices> services,
    MainQueue& main);

// $XDG_DATA_HOME/vendaroscope-virtualcam (empty without a home folder).
std::string cameraInstallFolder();

}  // namespace vsc
