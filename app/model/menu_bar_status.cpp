#include "app/model/menu_bar_status.h"

namespace vsc {

MenuBarStatus& MenuBarStatus::shared() {
    static MenuBarStatus status;
    return status;
}

void MenuBarStatus::setState(MenuBarIconState value) {
    if (value == state_) return;
    state_ = value;
    for (auto& observer : observers_) observer();
}

void MenuBarStatus::observe(std::function<void()> observer) {
    observers_.push_back(std::move(observer));
}

std::string accessibilityLabel(MenuBarIconState state) {
    switch (state) {
        case MenuBarIconState::ready:
            return "Vendaroscope Virtual Webcam, ready";
        case MenuBarIconState::sending:
            return "Vendaroscope Virtual Webcam, sending the program";
        case MenuBarIconState::attention:
            return "Vendaroscope Virtual Webcam, needs attention";
    }
    return {};
}

}  // namespace vsc
