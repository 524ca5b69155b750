// The model's side of the camera program's installation: the requests it
// submits, their answers, and the one state the user interface shows.
#include "app/camera/camera_extension_installer.h"
#include "app/model/app_model.h"
#include "app/model/platform_texts.h"

namespace vsc {

void AppModel::requestExtensionProperties() {
    if (!ports_.extensionService) return;
    propertiesRequestID_ = ports_.extensionService->submitProperties(
        CameraExtensionInstaller::kIdentifier, weak_from_this());
}

void AppModel::activateExtension() {
    if (!ports_.extensionService) return;
    extensionRequestStatus_ = "Requesting activation…";
    extensionOutcome_.reset();
    refreshExtensionState();
    ports_.extensionService->submitActivation(CameraExtensionInstaller::kIdentifier,
                                              weak_from_this());
}

void AppModel::deactivateExtension() {
    if (!ports_.extensionService) return;
    extensionRequestStatus_ = "Requesting deactivation…";
    extensionOutcome_.reset();
    refreshExtensionState();
    deactivationRequestID_ = ports_.extensionService->submitDeactivation(
        CameraExtensionInstaller::kIdentifier, weak_from_this());
}

ReplacementAction AppModel::actionForReplacing(ExtensionRequestId,
                                               const ExtensionProperties& existing,
                                               const ExtensionProperties& replacement) {
    // The application works with the camera it carries, whichever is newer.
    log("Camera extension: replacing v" + CameraExtensionInstaller::versionLabel(existing) +
        " with v" + CameraExtensionInstaller::versionLabel(replacement));
    return ReplacementAction::Replace;
}

void AppModel::requestNeedsUserApproval(ExtensionRequestId) {
    extensionRequestStatus_.reset();
    extensionOutcome_ = ExtensionAwaitingApproval{};
    refreshExtensionState();
}

void AppModel::foundProperties(ExtensionRequestId,
                               const std::vector<ExtensionProperties>& properties) {
    std::string installed;
    for (const auto& record : properties) {
        if (record.enabled && !record.uninstalling) {
            installed = CameraExtensionInstaller::versionLabel(record);
            break;
        }
    }
    installedExtension_ = installed;
    log(installed.empty() ? "Camera extension: not installed"
                          : "Camera extension: v" + installed + " active");
    refreshExtensionState();
}

void AppModel::requestFinished(ExtensionRequestId request, ExtensionRequestResult result) {
    // The properties request has said all it had to in foundProperties.
    if (propertiesRequestID_ && request == *propertiesRequestID_) return;
    const bool deactivation = deactivationRequestID_ && request == *deactivationRequestID_;
    extensionRequestStatus_.reset();
    if (result != ExtensionRequestResult::Completed) {
        if (deactivation) {
            extensionOutcome_ = ExtensionBusy{texts::kRestartToFinishUninstalling};
        } else {
            extensionOutcome_ = ExtensionRebootRequired{};
        }
        log("Extension request finished: reboot required");
    } else {
        extensionOutcome_.reset();
        installedExtension_ = deactivation
                                  ? std::optional<std::string>(std::string())
                                  : CameraExtensionInstaller::embeddedVersion(ports_.resourcesDir);
        // A camera just installed is expected to show up: its 8 s start now.
        if (cameraVisible_) {
            cameraMissingSince_.reset();
        } else {
            cameraMissingSince_ = ports_.main->now();
        }
        cameraServiceRestarted_ = false;
        log("Extension request finished: complete");
    }
    refreshExtensionState();
}

void AppModel::requestFailed(ExtensionRequestId request, const ExtensionError& error) {
    if (propertiesRequestID_ && request == *propertiesRequestID_) {
        extensionLookupFailed_ = true;
        log("Camera extension: state unavailable (" + error.fullDescription + ")");
    } else {
        extensionRequestStatus_.reset();
        extensionOutcome_ = ExtensionFailed{error.localizedDescription};
        log("Extension request failed: " + error.fullDescription);
    }
    refreshExtensionState();
}

void AppModel::refreshExtensionState() {
    CameraExtensionInstaller::Facts facts;
    facts.requestStatus = extensionRequestStatus_;
    facts.outcome = extensionOutcome_;
    facts.installed = installedExtension_;
    facts.embedded = CameraExtensionInstaller::embeddedVersion(ports_.resourcesDir);
    facts.lookupFailed = extensionLookupFailed_;
    facts.cameraVisible = cameraVisible_;
    facts.cameraMissingSince = cameraMissingSince_;
    facts.cameraServiceRestarted = cameraServiceRestarted_;
    facts.now = ports_.main->now();
    CameraExtensionState next = CameraExtensionInstaller::state(facts);
    // Refreshed every 2 s: only a change is worth telling the user interface.
    if (next != extensionState.value_) publish(extensionState, std::move(next));

    // The system is asked once per stretch of "not started"; its answer
    // stands until the state moves on.
    if (std::holds_alternative<ExtensionNotStarted>(extensionState.value_)) {
        if (!cameraVisibleSystemWide.value_ && !checkingSystemCamera_) {
            checkingSystemCamera_ = true;
            checkSystemCamera();
        }
    } else if (cameraVisibleSystemWide.value_) {
        publish(cameraVisibleSystemWide, std::optional<bool>());
    }
}

}  // namespace vsc
