#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/model/app_model.h"
#include "app/ui/status_panel.h"
#include "app/ui/tray_icon.h"

namespace vsc {

// The application's shell: the tray icon and its panel, what happens at
// launch and at a second launch, and where notification clicks lead.
class AppDelegate {
  public:
    struct Options {
        // Whether the desktop shows tray icons; without one the panel is an
        // ordinary window so the application is never invisible.
        bool trayAvailable = true;
        // Ends the application (after the model was told).
        std::function<void()> quit;
    };
    AppDelegate(std::shared_ptr<AppModel> model, Options options);

    // Launch: task-bar presence, then the services or the welcome window.
    void didFinishLaunching();
    // Another launch while this one runs.
    void reopen();
    // A click on one of the application's notifications.
    void notificationClicked(const std::string& identifier);

    StatusPanel& panel() { return *panel_; }
    TrayIcon* tray() { return tray_.get(); }

  private:
    void togglePanel();

    std::shared_ptr<AppModel> model_;
    Options options_;
    std::unique_ptr<StatusPanel> panel_;
    std::unique_ptr<TrayIcon> tray_;
};

}  // namespace vsc
