#include "app/ui/panel_content.h"

#include <cmath>

#include "app/camera/camera_extension_installer.h"
#include "app/model/platform_texts.h"
#include "app/model/program_url.h"

namespace vsc {
namespace {

BannerContent cameraBanner(const CameraExtensionState& state, AppModel& model,
                           const ShellCommands& shell) {
    auto activate = [&model] { model.activateExtension(); };
    if (auto* outdated = std::get_if<ExtensionOutdated>(&state))
        return {"A camera update is ready",
                "Installed v" + outdated->installed + ", this app ships v" + outdated->embedded +
                    ". Video apps keep the old camera until you update.",
                "Update camera", activate};
    if (auto* notStarted = std::get_if<ExtensionNotStarted>(&state)) {
        if (notStarted->afterRestart)
            return {"Restart your computer", texts::kCameraNotStartedAfterRepair, {}, {}};
        const auto& visible = model.cameraVisibleSystemWide();
        std::string detail = !visible   ? texts::kCheckingWhatSystemSees
                             : *visible ? texts::kCameraReadyButAppLostIt
                                        : texts::kCameraServiceDidNotStartIt;
        return {"Video apps can't see the camera", detail, "Repair camera",
                [&model] { model.repairCamera(); }, model.restartingCameraService() || !visible};
    }
    if (auto* failed = std::get_if<ExtensionFailed>(&state))
        return {"The camera couldn't be installed", failed->message, "Try again", activate};
    if (std::holds_alternative<ExtensionNotInstalled>(state))
        return {"The camera isn't installed", "Video apps can't see “Vendaroscope Program”.",
                "Install camera", activate};
    if (std::holds_alternative<ExtensionAwaitingApproval>(state))
        return {"Allow the camera in System Settings",
                "General › Login Items & Extensions › Camera Extensions: switch on Vendaroscope "
                "Virtual Webcam.",
                "Open System Settings", shell.openLoginItemsSettings};
    if (std::holds_alternative<ExtensionRebootRequired>(state))
        return {"Restart your computer", texts::kCameraFinishesAtRestart, {}, {}};
    return {"Camera", summary(state), {}, {}};
}

}  // namespace

BannerContent bannerContent(const PanelProblem& problem, AppModel& model,
                            const ShellCommands& shell) {
    if (auto* camera = std::get_if<ProblemCamera>(&problem))
        return cameraBanner(camera->state, model, shell);
    if (auto* microphone = std::get_if<ProblemMicrophone>(&problem)) {
        BannerContent content;
        content.title = std::holds_alternative<DriverMissing>(microphone->state)
                            ? "The microphone isn't installed"
                            : "The microphone needs a repair";
        content.detail =
            model.running() ? texts::kMicrophoneStopThenRepair : texts::kMicrophoneRepair;
        content.actionLabel = "Repair microphone";
        content.action = [&model] { model.repairAudioDriver(); };
        content.busy = model.repairingAudioDriver() || model.running();
        return content;
    }
    if (auto* offAir = std::get_if<ProblemOffAir>(&problem)) {
        BannerContent content{offAir->studio + " is off air",
                              "Participants see “Waiting for program…” until the studio goes on "
                              "air.",
                              {},
                              {}};
        content.informational = true;
        return content;
    }
    if (auto* lost = std::get_if<ProblemProgramLost>(&problem))
        return {
            "Reconnecting to " + lost->studio + "…",
            "For " + std::to_string(lost->seconds) + " s. Participants see “Waiting for program…”.",
            {},
            {}};
    BannerContent content;
    content.informational = true;
    if (!model.pcrs().empty()) {
        content.title = "Choose a studio";
        content.detail = "Pick the studio to send in “From” below.";
    } else {
        content.title = "No studio found on your network";
        content.detail = texts::kNoStudioCheckNetwork;
        content.actionLabel = "Open Settings";
        if (shell.showSettings)
            content.action = [show = shell.showSettings] { show(SettingsTab::general); };
    }
    return content;
}

StatusRowContent programRow(const AppModel& model) {
    if (model.running()) {
        if (model.receivingProgram())
            return {
                RowTone::ok, "Program",
                "Received · " + std::to_string(static_cast<long long>(model.inputFps())) + " fps"};
        return {RowTone::neutral, "Program", "Waiting for the program…"};
    }
    auto studio = model.selectedPcr();
    bool ready = studio ? !studio->stage.empty()
                        : AppModel::isCompleteProgramURL(trimSpacesAndTabs(model.url()));
    return {RowTone::neutral, "Program", ready ? "Ready to send" : "Not on air"};
}

StatusRowContent cameraRow(const AppModel& model) {
    const auto& state = model.extensionState();
    if (std::holds_alternative<ExtensionBusy>(state) ||
        std::holds_alternative<ExtensionStarting>(state) ||
        std::holds_alternative<ExtensionChecking>(state))
        return {RowTone::neutral, "Camera", "Checking…"};
    if (std::holds_alternative<ExtensionOk>(state))
        return {RowTone::ok, "Camera", "Visible to apps"};
    return {RowTone::warning, "Camera", "Not available to apps"};
}

MicrophoneLine microphoneLine(const AppModel& model) {
    const auto& driver = model.audioDriverState();
    const bool ok = std::holds_alternative<DriverOk>(driver);
    if (!ok && !std::holds_alternative<DriverUnavailable>(driver))
        return {RowTone::warning, false, "Not installed", 0};
    const RowTone tone = ok ? RowTone::ok : RowTone::neutral;
    if (model.running()) return {tone, true, "", model.audioLevel()};
    return {tone, false, "Ready", 0};
}

std::vector<PickerItem> pickerItems(const AppModel& model) {
    std::vector<PickerItem> items;
    std::string first;
    if (!model.pcrs().empty()) {
        first = "Choose a studio…";
    } else {
        std::string trimmed = trimSpacesAndTabs(model.url());
        auto parsed = parseUrl(trimmed);
        first = AppModel::isCompleteProgramURL(trimmed) && parsed && !parsed->host.empty()
                    ? "Address " + parsed->host
                    : "No studio found";
    }
    items.push_back({"", first});
    for (const auto& entry : model.pcrs())
        items.push_back({entry.identifier(), entry.name.empty() ? entry.serviceName : entry.name});
    return items;
}

StartStopContent startStopContent(const AppModel& model) {
    StartStopContent content;
    const bool running = model.running();
    content.label = running ? "Stop" : "Start";
    content.enabled = !model.startStopLocked() &&
                      (running || AppModel::isCompleteProgramURL(trimSpacesAndTabs(model.url())));
    content.starting = running && !model.receivingProgram();
    return content;
}

std::optional<BadgeContent> onAirBadge(const AppModel& model) {
    auto studio = model.selectedPcr();
    if (!studio) return std::nullopt;
    bool onAir = !studio->stage.empty();
    return BadgeContent{onAir, onAir ? "ON AIR" : "OFF AIR"};
}

}  // namespace vsc
