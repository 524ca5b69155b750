#pragma once

// What the status panel shows, derived from the model's published fields
// alone, so the rules can be read (and tested) apart from the drawing.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/model/app_model.h"
#include "app/ui/settings_tab.h"

namespace vsc {

// What the panel's commands open outside the model: the shell provides them.
struct ShellCommands {
    std::function<void(std::optional<SettingsTab>)> showSettings;
    std::function<void()> openLoginItemsSettings;
    std::function<void()> quit;
    std::function<void()> showWelcome;
    std::function<void(const std::string& key)> closeWindow;
    // The permissions the welcome assistant asks for on its way; this
    // desktop asks the user for neither, so the application leaves them empty.
    std::function<void()> requestCameraAccess;
    std::function<void()> requestNotificationPermission;
};

struct BannerContent {
    std::string title;
    std::string detail;
    std::optional<std::string> actionLabel;
    std::function<void()> action;
    bool busy = false;
    // A grey box for the problems that only inform, orange for the others.
    bool informational = false;
};
BannerContent bannerContent(const PanelProblem& problem, AppModel& model,
                            const ShellCommands& shell);

struct StatusRowContent {
    RowTone tone = RowTone::neutral;
    std::string title;
    std::string detail;
};
StatusRowContent programRow(const AppModel& model);
StatusRowContent cameraRow(const AppModel& model);

// The microphone line: a text, or the level meter while sending.
struct MicrophoneLine {
    RowTone tone = RowTone::neutral;
    bool meter = false;
    std::string text;
    double level = 0;
};
MicrophoneLine microphoneLine(const AppModel& model);

struct PickerItem {
    std::string id;
    std::string label;
    bool operator==(const PickerItem&) const = default;
};
std::vector<PickerItem> pickerItems(const AppModel& model);

struct StartStopContent {
    std::string label;  // "Start" or "Stop"
    bool enabled = false;
    bool starting = false;  // "Starting…" beside the button
};
StartStopContent startStopContent(const AppModel& model);

// The badge beside the title while a studio is chosen.
struct BadgeContent {
    bool onAir = false;
    std::string text;
};
std::optional<BadgeContent> onAirBadge(const AppModel& model);

}  // namespace vsc
