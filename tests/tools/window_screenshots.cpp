// vsc-window-screenshots: PNGs of every section of the settings window, at
// its size when opened and at the smallest it allows, and of every page of
// the welcome assistant, in states that fill them, for people to look at.
//   vsc-window-screenshots DIR      (offscreen unless QT_QPA_PLATFORM says)
#include <QApplication>
#include <QDir>
#include <cstdio>

#include "app/ui/settings_window.h"
#include "app/ui/welcome_window.h"
#include "support/model_ports.h"
#include "support/model_state.h"

namespace {

using vsc::AppModel;
using vsc::test::ModelState;

struct Scene {
    Scene() {
        AppModel::Ports p = vsc::test::isolatedPorts(main, prefs);
        p.menuBarStatus = &status;
        model = AppModel::create(p);
        // A model with much to show: a camera the service did not start
        // and is restarting, a microphone to install, sending under way.
        ModelState::set(*model, &AppModel::extensionState,
                        vsc::ExtensionNotStarted{"1.2 (7)", false});
        ModelState::set(*model, &AppModel::restartingCameraService, true);
        ModelState::set(*model, &AppModel::audioDriverState, vsc::DriverMissing{});
        ModelState::set(*model, &AppModel::audioDevices,
                        std::vector<vsc::AudioDevice>{{40, "Built-in Audio Analog Stereo"},
                                                      {61, "Vendaroscope Program Audio"}});
        model->setSelectedAudioDevice(61);
        ModelState::set(*model, &AppModel::loginItemNote,
                        std::string("Allow it in System Settings › General › Login Items"));
        ModelState::set(*model, &AppModel::detectStatus,
                        std::string("No stage on air at 10.0.0.7 (3 paths)"));
        model->setUrl("rtsp://10.0.0.7:8554/STAGE_4");
        model->setAudioGainDb(-12);
        model->setAudioDelayMs(240);
        ModelState::set(*model, &AppModel::sinkStatus, std::string("Connected (4 buffers)"));
        ModelState::set(*model, &AppModel::ffmpegRunning, true);
        ModelState::set(*model, &AppModel::inputFps, 29.97);
        ModelState::set(*model, &AppModel::audioLevel, 0.7);
        ModelState::set(*model, &AppModel::audioLevelDb, -18.0);
        for (int i = 0; i < 40; ++i)
            model->log(i % 3
                           ? "Program URL from PCR « Studio A (C1) »: rtsp://10.0.0.7:8554/STAGE_4"
                           : "ffmpeg started (pid " + std::to_string(4000 + i) + ")");
    }
    vsc::test::VirtualMainQueue main;
    vsc::MemoryPreferences prefs;
    vsc::MenuBarStatus status;
    std::shared_ptr<AppModel> model;
};

void save(QWidget* window, const QString& path) {
    QApplication::processEvents();
    QImage shot = window->grab().toImage();
    shot.save(path);
    std::printf("%s %dx%d\n", qPrintable(path), shot.width(), shot.height());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vsc-window-screenshots DIR\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);

    {
        Scene s;
        vsc::SettingsTabSelection selection;
        vsc::SettingsWindow window(s.model, selection, {});
        window.show();
        for (const QSize size : {QSize(660, 520), window.minimumSize()}) {
            window.resize(size);
            for (vsc::SettingsTab tab : vsc::kAllSettingsTabs) {
                selection.setTab(tab);
                save(&window, QString("%1/settings-%2-%3x%4.png")
                                  .arg(dir, QString(vsc::title(tab)).toLower())
                                  .arg(size.width())
                                  .arg(size.height()));
            }
        }
        // Sending: what it locks.
        ModelState::set(*s.model, &AppModel::running, true);
        window.resize(660, 520);
        selection.setTab(vsc::SettingsTab::general);
        save(&window, dir + "/settings-general-sending.png");
    }
    {
        Scene s;
        vsc::WelcomeWindow window(s.model, {});
        window.show();
        const char* names[] = {"camera", "microphone", "studio", "final"};
        auto page = [&](int step) {
            return QString("%1/welcome-%2-%3.png").arg(dir).arg(step + 1).arg(names[step]);
        };
        ModelState::set(*s.model, &AppModel::extensionState, vsc::ExtensionNotInstalled{});
        save(&window, page(0));
        ModelState::set(*s.model, &AppModel::extensionState, vsc::ExtensionOk{"1.2 (7)"});
        save(&window, dir + "/welcome-1-camera-ready.png");
        for (QPushButton* b : window.actions()) b->click();  // Continue
        save(&window, page(1));
        for (QPushButton* b : window.actions()) b->click();
        window.studio()->find()->click();
        save(&window, dir + "/welcome-3-studio-searching.png");
        s.model->applyPcrList(
            {vsc::test::announcedStudio("Studio A", "STAGE_4"),
             vsc::test::announcedStudio("Newsroom", ""),
             vsc::test::announcedStudio("A studio with a long name that does not fit", "STAGE_9")});
        s.model->setSelectedPcrId("Studio A|C1|s1");
        window.studio()->manualToggle()->click();
        save(&window, page(2));
        for (QPushButton* b : window.actions()) b->click();
        save(&window, page(3));
    }
    return 0;
}
