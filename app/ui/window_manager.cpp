#include "app/ui/window_manager.h"

#include <QDesktopServices>
#include <QScreen>
#include <QUrl>

#include "app/ui/settings_window.h"
#include "app/ui/welcome_window.h"

#include "platform/user_dirs.h"

namespace vsc {
namespace {

void centre(QWidget* window) {
    QScreen* screen = window->screen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

}  // namespace

void SettingsTabSelection::setTab(SettingsTab tab) {
    tab_ = tab;
    for (auto& observer : observers_) observer();
}

void SettingsTabSelection::observe(std::function<void()> observer) {
    observers_.push_back(std::move(observer));
}

WindowManager& WindowManager::shared() {
    static WindowManager manager;
    return manager;
}

QWidget* WindowManager::window(const std::string& key) const {
    auto found = windows_.find(key);
    return found == windows_.end() ? nullptr : found->second;
}

void WindowManager::showWelcome() {
    QWidget* welcome = window("welcome");
    if (!welcome) {
        welcome = makeWelcome();
        windows_["welcome"] = welcome;
    }
    present("welcome", welcome);
}

void WindowManager::showSettings(std::optional<SettingsTab> tab) {
    if (tab) settingsTab_.setTab(*tab);
    QWidget* settings = window("settings");
    if (!settings) {
        settings = makeSettings();
        windows_["settings"] = settings;
    }
    present("settings", settings);
}

void WindowManager::closeWindow(const std::string& key) {
    if (QWidget* found = window(key)) found->close();
}

void WindowManager::setTaskBarPresence(bool regular) {
    regular_ = regular;
    for (auto& [key, window] : windows_) applyPresence(window);
}

void WindowManager::applyPresence(QWidget* window) {
    // Changing a window's type hides it: show it again as it was.
    const bool shown = window->isVisible();
    const QPoint where = window->pos();
    window->setWindowFlag(Qt::Tool, !regular_);
    window->setWindowFlag(Qt::Window, true);
    if (shown) {
        window->move(where);
        window->show();
    }
}

void WindowManager::present(const std::string& key, QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
    if (onShow) onShow(key);
}

ShellCommands WindowManager::windowCommands() {
    ShellCommands shell;
    shell.showSettings = [this](std::optional<SettingsTab> tab) { showSettings(tab); };
    shell.openLoginItemsSettings = openLoginItemsSettings;
    shell.showWelcome = [this] { showWelcome(); };
    shell.closeWindow = [this](const std::string& key) { closeWindow(key); };
    // Nothing to ask: this desktop lets every program use the camera and
    // show notifications.
    return shell;
}

QWidget* WindowManager::makeWelcome() {
    auto* window = new WelcomeWindow(model_, windowCommands());
    applyPresence(window);
    centre(window);
    return window;
}

QWidget* WindowManager::makeSettings() {
    auto* window = new SettingsWindow(model_, settingsTab_, windowCommands());
    applyPresence(window);
    centre(window);
    return window;
}

void openLoginItemsSettings() {
    // The desktops keep no common settings page for programs started at
    // log-in; the folder of their entries is what they all read.
    const QString folder = QString::fromStdString(configHome()) + QStringLiteral("/autostart");
    if (folder.startsWith('/')) QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

}  // namespace vsc
