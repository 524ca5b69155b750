#include "app/ui/app_delegate.h"

#include <QTimer>

#include "app/ui/window_manager.h"

namespace vsc {

AppDelegate::AppDelegate(std::shared_ptr<AppModel> model, Options options)
    : model_(std::move(model)), options_(std::move(options)) {
    ShellCommands shell;
    shell.showSettings = [](std::optional<SettingsTab> tab) {
        WindowManager::shared().showSettings(tab);
    };
    shell.openLoginItemsSettings = openLoginItemsSettings;
    shell.quit = options_.quit;
    panel_ = std::make_unique<StatusPanel>(
        model_, shell,
        options_.trayAvailable ? StatusPanel::Mode::popup : StatusPanel::Mode::window);
    if (options_.trayAvailable) {
        tray_ = std::make_unique<TrayIcon>();
        tray_->onClick = [this] { togglePanel(); };
        tray_->show();
    }
}

void AppDelegate::togglePanel() {
    // The click that reaches the icon while the popup is open has already
    // closed it (a click outside a popup closes it): so this opens it.
    if (panel_->isVisible()) {
        panel_->hide();
        return;
    }
    panel_->popUp(tray_ ? tray_->geometry() : QRect());
}

void AppDelegate::didFinishLaunching() {
    // Returns at once; the work runs as the event loop's first task.
    QTimer::singleShot(0, [this] {
        WindowManager::shared().setTaskBarPresence(model_->showInDock());
        // Without a tray the panel is a window: opened first, so a window
        // asked for below comes in front of it.
        if (!options_.trayAvailable) panel_->popUp(QRect());
        if (model_->setupCompleted())
            model_->startServices();
        else
            WindowManager::shared().showWelcome();
    });
}

void AppDelegate::reopen() {
    QTimer::singleShot(0, [this] {
        if (!options_.trayAvailable) panel_->popUp(QRect());
        if (model_->setupCompleted())
            WindowManager::shared().showSettings();
        else
            WindowManager::shared().showWelcome();
    });
}

void AppDelegate::notificationClicked(const std::string& identifier) {
    QTimer::singleShot(0, [identifier] {
        // The repair and update notifications lead to the repair buttons.
        if (identifier.rfind("camera", 0) == 0 || identifier.rfind("microphone", 0) == 0)
            WindowManager::shared().showSettings(SettingsTab::maintenance);
    });
}

}  // namespace vsc
