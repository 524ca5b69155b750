#include "app/ui/window_manager.h"

#include <QDesktopServices>
#include <QScreen>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/ui/settings_window.h"

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
    auto* window = new QWidget(nullptr, Qt::Window);
    window->setWindowTitle(QStringLiteral("Welcome to Vendaroscope Virtual Webcam"));
    window->setFixedSize(660, 470);
    auto* column = new QVBoxLayout(window);
    column->setContentsMargins(40, 40, 40, 30);
    auto* heading = new QLabel(QStringLiteral("Welcome to Vendaroscope Virtual Webcam"), window);
    QFont large = heading->font();
    large.setPointSizeF(large.pointSizeF() * 1.5);
    large.setWeight(QFont::DemiBold);
    heading->setFont(large);
    auto* text = new QLabel(
        QStringLiteral("The app sends the studio's program to your video calls as the camera "
                       "“Vendaroscope Program” and a microphone of the same name. Click Done to "
                       "start looking for studios on your network."),
        window);
    text->setWordWrap(true);
    auto* done = new QPushButton(QStringLiteral("Done"), window);
    done->setDefault(true);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(done);
    column->addWidget(heading);
    column->addSpacing(12);
    column->addWidget(text);
    column->addStretch(1);
    column->addLayout(row);
    QObject::connect(done, &QPushButton::clicked, window, [this] {
        if (!model_) return;
        // What the assistant's Done does: the setup is complete, the app
        // starts at log-in, the services start.
        model_->setSetupCompleted(true);
        model_->setOpenAtLogin(true);
        model_->startServices();
        closeWindow("welcome");
    });
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
