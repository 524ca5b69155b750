#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/model/app_model.h"
#include "app/ui/panel_content.h"
#include "app/ui/settings_tab.h"

namespace vsc {

// The settings window's selected tab, shared so the panel's commands and
// notification clicks can switch it from outside.
class SettingsTabSelection {
  public:
    SettingsTab tab() const { return tab_; }
    void setTab(SettingsTab tab);
    void observe(std::function<void()> observer);

  private:
    SettingsTab tab_ = SettingsTab::general;
    std::vector<std::function<void()>> observers_;
};

// Opens the application's two ordinary windows, welcome and settings, and
// keeps them for reuse: closing one only hides it.
class WindowManager {
  public:
    static WindowManager& shared();

    // The model the windows show; set once at launch.
    void setModel(std::shared_ptr<AppModel> model) { model_ = std::move(model); }
    // Whether windows appear in the task bar (the "Show in Dock" option).
    void setTaskBarPresence(bool regular);

    void showWelcome();
    void showSettings(std::optional<SettingsTab> tab = std::nullopt);
    void closeWindow(const std::string& key);

    SettingsTabSelection& settingsTab() { return settingsTab_; }
    QWidget* window(const std::string& key) const;
    // Heard every time a window is brought to the front, with its key.
    std::function<void(const std::string& key)> onShow;

  private:
    ShellCommands windowCommands();
    QWidget* makeWelcome();
    QWidget* makeSettings();
    void present(const std::string& key, QWidget* window);
    void applyPresence(QWidget* window);

    std::shared_ptr<AppModel> model_;
    std::map<std::string, QWidget*> windows_;
    SettingsTabSelection settingsTab_;
    bool regular_ = false;
};

// Opens the desktop's page for the programs started at log-in, if it has one.
void openLoginItemsSettings();

}  // namespace vsc
