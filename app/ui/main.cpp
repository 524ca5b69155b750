// vendaroscope-virtualcam: the tray application. The Qt event loop is the
// model's main queue; the tray icon opens the status panel; a second launch
// hands over to the running one. The activity log also goes to standard
// output, with a "window KEY" line (and the settings tab) whenever a window
// is brought to the front and where the welcome assistant's buttons are, so
// a person or a test watching the terminal sees what the application does.
#include <signal.h>

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QSystemTrayIcon>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/model/app_model.h"
#include "app/model/system_ports.h"
#include "app/ui/app_delegate.h"
#include "app/ui/problem_banner.h"
#include "app/ui/qt_main_queue.h"
#include "app/ui/single_instance.h"
#include "app/ui/tray_icon.h"
#include "app/ui/window_manager.h"
#include "platform/control_characters.h"
#include "platform/login_item.h"
#include "platform/notifications.h"
#include "platform/preferences.h"
#include "platform/process.h"

namespace {

const char kUsage[] =
    "usage: vendaroscope-virtualcam [Qt options]\n"
    "The Vendaroscope Virtual Webcam tray application: sends a studio's programme to\n"
    "video calls as the camera \"Vendaroscope Program\" and the microphone \"Vendaroscope\n"
    "Program Audio\". Its icon in the tray opens the status panel; where the desktop\n"
    "has no tray the panel opens as a window. Starting it again while it runs shows\n"
    "its settings. The activity log goes to standard output.\n";

// How long the end waits for the receiver's children (they were killed).
constexpr double kChildrenGrace = 5.0;

void printLine(const std::string& line) {
    std::fputs(vsc::replaceControlCharacters(line).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    std::setlocale(LC_ALL, "");

    // The end of the session (SIGTERM, SIGHUP) and Ctrl-C end the application
    // like any termination: the receiver's child stops, "resumeSending" stays.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vendaroscope-virtualcam"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vendaroscope Virtual Webcam"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vendaroscope-virtualcam"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("vendaroscope-virtualcam"),
                                                 vsc::menuBarIcon(vsc::MenuBarIconState::ready)));

    vsc::SingleInstance instance;
    if (instance.handOverToRunning()) {
        printLine("handed over to the running instance");
        return 0;
    }

    vsc::QtMainQueue main;
    vsc::JsonFilePreferences preferences;
    vsc::SystemPorts system =
        vsc::makeSystemPorts(main, preferences, [] { QCoreApplication::quit(); });
    vsc::AppModel::Ports ports = system.ports;
    ports.loginItem = std::make_shared<vsc::XdgAutostartLoginItem>(
        vsc::XdgAutostartLoginItem::defaultEntryPath(), vsc::executablePath());
    ports.setActivationPolicy = [](bool regular) {
        vsc::WindowManager::shared().setTaskBarPresence(regular);
    };

    std::shared_ptr<vsc::AppModel> model = vsc::AppModel::create(ports);
    model->onLogLine = printLine;
    if (!preferences.loadProblem().empty()) model->log(preferences.loadProblem());
    vsc::WindowManager& windows = vsc::WindowManager::shared();
    windows.setModel(model);
    windows.onShow = [&windows](const std::string& key) {
        std::string line = "window " + key;
        if (key == "settings")
            line += std::string(" tab=") + vsc::title(windows.settingsTab().tab());
        printLine(line);
    };
    // Any end of the application stops the receiver's child process.
    QObject::connect(&app, &QCoreApplication::aboutToQuit,
                     [&model] { model->applicationWillTerminate(); });

    const bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    vsc::AppDelegate delegate(model, {trayAvailable, [] { QCoreApplication::quit(); }});
    printLine(trayAvailable ? "tray available" : "no tray: the panel opens as a window");
    vsc::StatusPanel& panel = delegate.panel();
    panel.onShown = [&panel] {
        // Where the panel and its Start button are, for whoever drives it
        // with a pointer (the end-to-end tests do).
        const QRect frame = panel.frameGeometry();
        const QPoint start = panel.startStop()->mapToGlobal(panel.startStop()->rect().center());
        printLine("window panel at " + std::to_string(frame.x()) + "," + std::to_string(frame.y()) +
                  " size " + std::to_string(frame.width()) + "x" + std::to_string(frame.height()) +
                  " start " + std::to_string(start.x()) + "," + std::to_string(start.y()));
    };
    // Where the banner's button and the start/stop button are while the
    // panel shows them, and what they say, for whoever drives the panel with
    // a pointer (the demo does), and what the panel's lines say: a line
    // whenever that changes.
    QTimer buttonWatch;
    std::string bannerShown, controlShown, rowsShown;
    auto where = [](const char* kind, QAbstractButton* button) {
        const QPoint at = button->mapToGlobal(button->rect().center());
        return std::string(kind) + " " + button->text().toStdString() + " at " +
               std::to_string(at.x()) + "," + std::to_string(at.y()) +
               (button->isEnabled() ? "" : " (busy)");
    };
    auto report = [](std::string& shown, const std::string& now) {
        if (now == shown) return;
        shown = now;
        if (!now.empty()) printLine(now);
    };
    QObject::connect(&buttonWatch, &QTimer::timeout, [&] {
        QPushButton* action = panel.banner()->actionButton();
        const bool banner = panel.isVisible() && panel.banner()->isVisible() &&
                            panel.banner()->actionShown() && action->isVisible();
        report(bannerShown, banner ? where("banner", action) : "");
        report(controlShown, panel.isVisible() ? where("control", panel.startStop()) : "");
        // And what the panel tells: its banner's title and its status lines.
        std::string rows;
        if (panel.isVisible()) {
            rows = "panel Program: " + panel.programDetail()->fullText().toStdString() +
                   " · Camera: " + panel.cameraDetail()->fullText().toStdString();
            if (panel.banner()->isVisible())
                rows += " · banner: " + panel.banner()->title().toStdString();
        }
        report(rowsShown, rows);
    });
    buttonWatch.start(250);
    // The same for the welcome assistant's buttons while it is shown: one
    // "welcome button TEXT at X,Y" line each, whenever they change.
    QTimer welcomeWatch;
    std::string welcomeShown;
    QObject::connect(&welcomeWatch, &QTimer::timeout, [&windows, &welcomeShown] {
        std::string now;
        QWidget* welcome = windows.window("welcome");
        if (welcome && welcome->isVisible()) {
            for (QAbstractButton* button : welcome->findChildren<QAbstractButton*>()) {
                if (!button->isVisible() || button->text().isEmpty()) continue;
                const QPoint at = button->mapToGlobal(button->rect().center());
                now += "welcome button " + button->text().toStdString() + " at " +
                       std::to_string(at.x()) + "," + std::to_string(at.y()) +
                       (button->isEnabled() ? "" : " (disabled)") + "\n";
            }
        }
        if (now != welcomeShown) {
            welcomeShown = now;
            std::size_t from = 0, end;
            while ((end = now.find('\n', from)) != std::string::npos) {
                printLine(now.substr(from, end - from));
                from = end + 1;
            }
        }
    });
    welcomeWatch.start(250);
    system.notifications->setClickHandler([&delegate](const std::string& identifier) {
        printLine("notification-click " + identifier);
        delegate.notificationClicked(identifier);
    });
    instance.onReopen = [&delegate] {
        printLine("reopen");
        delegate.reopen();
    };

    std::thread([&main, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        main.post([] { QCoreApplication::quit(); });
    }).detach();

    delegate.didFinishLaunching();
    app.exec();

    // The stop killed the receiver's children; wait until they are reaped.
    if (!model->receiver()->waitForChildren(kChildrenGrace))
        std::fputs("the receiver's children did not end in time\n", stderr);
    std::fflush(stdout);
    preferences.flush();
    // Worker threads may still be winding down; end without tearing them apart.
    std::_Exit(0);
}
