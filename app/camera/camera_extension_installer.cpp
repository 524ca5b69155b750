#include "app/camera/camera_extension_installer.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "app/model/platform_texts.h"

namespace vsc {
namespace {

std::string labelPart(const std::string& text) {
    return text.empty() ? "?" : text;
}

}  // namespace

std::string CameraExtensionInstaller::manifestPath(const std::string& resourcesDir) {
    return resourcesDir + "/" + kIdentifier + "/manifest.json";
}

std::optional<std::string> CameraExtensionInstaller::embeddedVersion(
    const std::string& resourcesDir) {
    // Read on every refresh: a bounded read, so a stray large file costs nothing.
    std::ifstream in(manifestPath(resourcesDir), std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(kManifestLimit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) return std::nullopt;
    auto length = static_cast<std::size_t>(in.gcount());
    if (length > kManifestLimit) return std::nullopt;
    text.resize(length);
    nlohmann::json manifest = nlohmann::json::parse(text, nullptr, false);
    if (manifest.is_discarded() || !manifest.is_object()) return std::nullopt;
    auto part = [&](const char* key) -> std::string {
        auto it = manifest.find(key);
        if (it == manifest.end() || !it->is_string()) return "?";
        return it->get<std::string>();
    };
    return part("CFBundleShortVersionString") + " (" + part("CFBundleVersion") + ")";
}

std::string CameraExtensionInstaller::versionLabel(const ExtensionProperties& record) {
    return labelPart(record.shortVersion) + " (" + labelPart(record.version) + ")";
}

CameraExtensionState CameraExtensionInstaller::state(const Facts& facts) {
    if (facts.requestStatus) return ExtensionBusy{*facts.requestStatus};
    if (facts.outcome) return *facts.outcome;
    if (facts.installed) {
        const std::string& installed = *facts.installed;
        if (installed.empty()) return ExtensionNotInstalled{};
        // Any difference counts, a newer installed copy too: the application
        // only works with the camera it carries.
        if (facts.embedded && *facts.embedded != installed)
            return ExtensionOutdated{installed, *facts.embedded};
        if (facts.cameraVisible) return ExtensionOk{installed};
        if (!facts.cameraMissingSince) return ExtensionStarting{installed};
        if (secondsBetween(*facts.cameraMissingSince, facts.now) >= kStartingSeconds)
            return ExtensionNotStarted{installed, facts.cameraServiceRestarted};
        return ExtensionStarting{installed};
    }
    if (facts.cameraVisible) return ExtensionOk{"?"};
    if (facts.lookupFailed) return ExtensionNotInstalled{};
    return ExtensionChecking{};
}

std::string summary(const CameraExtensionState& state) {
    struct Words {
        std::string operator()(const ExtensionBusy& s) const { return s.message; }
        std::string operator()(const ExtensionOutdated& s) const {
            return "Installed v" + s.installed + ", this app ships v" + s.embedded +
                   " — click Install / update";
        }
        std::string operator()(const ExtensionStarting& s) const {
            return "Installed v" + s.version + texts::kCameraWaitingToStart;
        }
        std::string operator()(const ExtensionOk& s) const {
            return "Installed · v" + s.version + " · visible to apps";
        }
        std::string operator()(const ExtensionNotStarted& s) const {
            return "Installed v" + s.version +
                   (s.afterRestart ? texts::kCameraNotStartedAfterRestart
                                   : texts::kCameraNotStarted);
        }
        std::string operator()(const ExtensionFailed& s) const { return "Failed: " + s.message; }
        std::string operator()(const ExtensionChecking&) const { return "Checking…"; }
        std::string operator()(const ExtensionNotInstalled&) const {
            return "Not installed — the “Vendaroscope Program” camera is unavailable";
        }
        std::string operator()(const ExtensionAwaitingApproval&) const {
            return "Waiting for approval in System Settings › General › Login Items & Extensions";
        }
        std::string operator()(const ExtensionRebootRequired&) const {
            return texts::kRestartToFinishInstalling;
        }
    };
    return std::visit(Words{}, state);
}

}  // namespace vsc
