#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "app/camera/camera_extension_state.h"
#include "platform/clock.h"
#include "platform/extension_service.h"

namespace vsc {

// The camera program's installation as the application sees it. It holds no
// state: the model keeps what the requests answered and asks here what that
// adds up to.
class CameraExtensionInstaller {
  public:
    static constexpr const char* kIdentifier = "com.vendaroscope.virtualcam.camera";
    // The manifest beside the bundled camera program, whose
    // "CFBundleShortVersionString" and "CFBundleVersion" name its version.
    // Anything larger than this is no manifest of ours.
    static constexpr std::size_t kManifestLimit = 64 * 1024;
    // An installed camera the system has not listed for this long is taken as
    // not started rather than still starting.
    static constexpr double kStartingSeconds = 8.0;

    // Reopens the application once the old process is gone and the system
    // lists the camera (or about 15 s have passed). Run by /bin/sh -c with the
    // application's path as $0, the old process id as $1 and the camera's
    // name as $2.
    static constexpr const char* kRelaunchScript =
        "while /bin/kill -0 \"$1\" 2>/dev/null; do /bin/sleep 0.2; done\n"
        "tries=0\n"
        "until /usr/bin/pw-dump 2>/dev/null | /usr/bin/grep -qF \"\\\"$2\\\"\" || "
        "[ $tries -ge 15 ]; do\n"
        "  /bin/sleep 1; tries=$((tries + 1))\n"
        "done\n"
        "exec \"$0\"";

    static std::string manifestPath(const std::string& resourcesDir);

    // "short (build)" of the copy this application carries, "?" for a key
    // that is missing or not text; none when the manifest cannot be read or
    // is not a JSON object.
    static std::optional<std::string> embeddedVersion(const std::string& resourcesDir);

    // "short (build)" of an installed extension as the system records it, "?"
    // for a part it does not know.
    static std::string versionLabel(const ExtensionProperties& record);

    // Everything the condensed state is made from.
    struct Facts {
        std::optional<std::string> requestStatus;     // a request under way
        std::optional<CameraExtensionState> outcome;  // the last request's result
        std::optional<std::string> installed;         // "" = none active
        std::optional<std::string> embedded;          // this application's copy
        bool lookupFailed = false;                    // the installed version stays unknown
        bool cameraVisible = false;
        std::optional<WallTime> cameraMissingSince;
        bool cameraServiceRestarted = false;
        WallTime now;
    };
    // The first state whose rule applies, from the request in progress down
    // to what the camera check saw.
    static CameraExtensionState state(const Facts& facts);
};

// The user's words for a state.
std::string summary(const CameraExtensionState& state);

}  // namespace vsc
