// What the tray icon and the panel show of the model, and the shell's own
// fields: the login item and the task-bar presence.
#include "app/model/app_model.h"
#include "app/model/program_url.h"

namespace vsc {
namespace {

// Pictures must have been missing this long before the panel says so.
constexpr double kProgramLostShownAfter = 3.0;

constexpr const char* kLoginItemApprovalNote =
    "Allow it in System Settings › General › Login Items";

bool cameraNeedsAttention(const CameraExtensionState& state) {
    return std::holds_alternative<ExtensionOutdated>(state) ||
           std::holds_alternative<ExtensionNotStarted>(state) ||
           std::holds_alternative<ExtensionFailed>(state) ||
           std::holds_alternative<ExtensionNotInstalled>(state) ||
           std::holds_alternative<ExtensionAwaitingApproval>(state) ||
           std::holds_alternative<ExtensionRebootRequired>(state);
}

}  // namespace

std::optional<PanelProblem> AppModel::currentProblem() const {
    if (cameraNeedsAttention(extensionState.value_))
        return PanelProblem{ProblemCamera{extensionState.value_}};
    const AudioDriverState& driver = audioDriverState.value_;
    if (!std::holds_alternative<DriverOk>(driver) &&
        !std::holds_alternative<DriverUnavailable>(driver))
        return PanelProblem{ProblemMicrophone{driver}};
    if (auto studio = selectedPcr(); studio && studio->stage.empty())
        return PanelProblem{ProblemOffAir{studioName()}};
    if (running.value_ && programLostSince.value_) {
        double lost = secondsBetween(*programLostSince.value_, ports_.main->now());
        if (lost >= kProgramLostShownAfter)
            return PanelProblem{ProblemProgramLost{studioName(), static_cast<int>(lost)}};
    }
    if (!isCompleteProgramURL(trimSpacesAndTabs(url.value_)))
        return PanelProblem{ProblemChooseStudio{}};
    return std::nullopt;
}

MenuBarIconState AppModel::menuBarIconState() const {
    auto problem = currentProblem();
    if (problem && !std::holds_alternative<ProblemOffAir>(*problem) &&
        !std::holds_alternative<ProblemChooseStudio>(*problem))
        return MenuBarIconState::attention;
    if (running.value_ && receivingProgram.value_) return MenuBarIconState::sending;
    return MenuBarIconState::ready;
}

void AppModel::updateMenuBarIcon() {
    MenuBarStatus& status = ports_.menuBarStatus ? *ports_.menuBarStatus : MenuBarStatus::shared();
    status.setState(menuBarIconState());
}

void AppModel::panelVisibilityChanged(bool visible) {
    if (visible) {
        previewWanted.store(1);
        refreshAudioDevices();
    } else {
        previewWanted.store(0);
        publish(preview, std::optional<PreviewImage>());
    }
}

void AppModel::refreshLoginItem() {
    LoginItemStatus status =
        ports_.loginItem ? ports_.loginItem->status() : LoginItemStatus::notRegistered;
    publish(openAtLogin,
            status == LoginItemStatus::enabled || status == LoginItemStatus::requiresApproval);
    publish(loginItemNote,
            std::string(status == LoginItemStatus::requiresApproval ? kLoginItemApprovalNote : ""));
}

void AppModel::setOpenAtLogin(bool value) {
    if (ports_.loginItem) {
        auto failure =
            value ? ports_.loginItem->registerItem() : ports_.loginItem->unregisterItem();
        if (failure) log("Open at login: " + *failure);
    }
    refreshLoginItem();
}

void AppModel::applyActivationPolicy() {
    if (ports_.setActivationPolicy) ports_.setActivationPolicy(showInDock.value_);
}

}  // namespace vsc
