// vsc-panel-screenshots: PNGs of the status panel in the states a person
// should look at, and of the tray icon on light and dark trays.
//   vsc-panel-screenshots DIR          panel states and icon sheet into DIR
//                                      (offscreen unless QT_QPA_PLATFORM says)
//   vsc-panel-screenshots --tray STATE shows a tray icon in that state (ready,
//                                      sending, attention) until killed
#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QSystemTrayIcon>
#include <cmath>
#include <cstdio>

#include "app/ui/status_panel.h"
#include "app/ui/tray_icon.h"
#include "support/model_ports.h"
#include "support/model_state.h"

namespace {

using vsc::AppModel;
using vsc::test::ModelState;

// Colour bars with a caption-like band, at the preview's size.
vsc::PreviewImage bars() {
    vsc::PreviewImage image;
    image.rgb.resize(static_cast<std::size_t>(image.width * image.height * 3));
    const std::uint8_t colours[7][3] = {{192, 192, 192}, {192, 192, 0}, {0, 192, 192}, {0, 192, 0},
                                        {192, 0, 192},   {192, 0, 0},   {0, 0, 192}};
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const auto* c = colours[x * 7 / image.width];
            auto* px = &image.rgb[static_cast<std::size_t>((y * image.width + x) * 3)];
            const bool band = y > image.height * 3 / 4;
            for (int i = 0; i < 3; ++i)
                px[i] = band ? static_cast<std::uint8_t>(x * 255 / image.width) : c[i];
        }
    return image;
}

struct Scene {
    Scene() {
        AppModel::Ports p = vsc::test::isolatedPorts(main, prefs);
        p.menuBarStatus = &status;
        model = AppModel::create(p);
        vsc::ShellCommands shell;
        panel = std::make_unique<vsc::StatusPanel>(model, shell, vsc::StatusPanel::Mode::popup);
    }
    void save(const QString& path) {
        panel->render();
        panel->adjustSize();
        QImage shot = panel->grab().toImage();
        shot.save(path);
        std::printf("%s %dx%d\n", qPrintable(path), shot.width(), shot.height());
    }
    vsc::test::VirtualMainQueue main;
    vsc::MemoryPreferences prefs;
    vsc::MenuBarStatus status;
    std::shared_ptr<AppModel> model;
    std::unique_ptr<vsc::StatusPanel> panel;
};

void iconSheet(const QString& path) {
    // Each state at the common tray sizes, on a light and on a dark tray.
    const int sizes[] = {16, 22, 24, 32};
    const QColor trays[] = {QColor(0xf2, 0xf2, 0xf2), QColor(0x30, 0x30, 0x30),
                            QColor(0x3d, 0x5a, 0x80)};
    QImage sheet(3 * (16 + 22 + 24 + 32 + 40) + 20, 3 * 40 + 10, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    for (int row = 0; row < 3; ++row) {
        p.fillRect(QRect(0, row * 40 + 5, sheet.width(), 40), trays[row]);
        int x = 10;
        for (auto state : {vsc::MenuBarIconState::ready, vsc::MenuBarIconState::sending,
                           vsc::MenuBarIconState::attention}) {
            for (int size : sizes) {
                p.drawPixmap(x, row * 40 + 5 + (40 - size) / 2,
                             vsc::menuBarIcon(state).pixmap(size));
                x += size + 10;
            }
            x += 0;
        }
    }
    p.end();
    sheet.save(path);
    std::printf("%s\n", qPrintable(path));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--tray") {
        QApplication app(argc, argv);
        const std::string which = argv[2];
        auto state = which == "sending"     ? vsc::MenuBarIconState::sending
                     : which == "attention" ? vsc::MenuBarIconState::attention
                                            : vsc::MenuBarIconState::ready;
        QSystemTrayIcon tray(vsc::menuBarIcon(state));
        tray.setToolTip(QString::fromStdString(vsc::accessibilityLabel(state)));
        tray.show();
        return app.exec();
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: vsc-panel-screenshots DIR | --tray STATE\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);

    {  // First run: nothing found, no address.
        Scene s;
        ModelState::set(*s.model, &AppModel::extensionState, vsc::ExtensionOk{"1.0"});
        s.save(dir + "/panel-first-run.png");
    }
    {  // Sending, with the preview and the meter.
        Scene s;
        ModelState::set(*s.model, &AppModel::extensionState, vsc::ExtensionOk{"1.0"});
        ModelState::set(*s.model, &AppModel::audioDriverState, vsc::DriverOk{"1.0"});
        s.model->applyPcrList({vsc::test::announcedStudio("Studio A", "STAGE_4"),
                               vsc::test::announcedStudio("Newsroom", "STAGE_7")});
        s.model->setSelectedPcrId("Studio A|C1|s1");
        s.model->startSending();
        s.main.advance(2);
        ModelState::set(*s.model, &AppModel::receivingProgram, true);
        ModelState::set(*s.model, &AppModel::inputFps, 30.0);
        ModelState::set(*s.model, &AppModel::audioLevel, 0.62);
        s.model->previewWanted.store(1);
        ModelState::set(*s.model, &AppModel::preview, std::optional<vsc::PreviewImage>(bars()));
        s.save(dir + "/panel-sending.png");
    }
    {  // Sending, the programme lost for 7 s.
        Scene s;
        ModelState::set(*s.model, &AppModel::extensionState, vsc::ExtensionOk{"1.0"});
        ModelState::set(*s.model, &AppModel::audioDriverState, vsc::DriverOk{"1.0"});
        s.model->applyPcrList({vsc::test::announcedStudio("Studio A", "STAGE_4")});
        s.model->startSending();
        s.main.advance(2);
        ModelState::set(*s.model, &AppModel::programLostSince,
                        std::optional<vsc::WallTime>(s.main.now() - std::chrono::seconds(7)));
        s.save(dir + "/panel-program-lost.png");
    }
    {  // The camera is not installed; the microphone needs a repair too.
        Scene s;
        ModelState::set(*s.model, &AppModel::extensionState, vsc::ExtensionNotInstalled{});
        ModelState::set(*s.model, &AppModel::audioDriverState, vsc::DriverMissing{});
        s.model->setUrl("rtsp://10.0.0.7:8554/STAGE_4");
        s.save(dir + "/panel-camera-not-installed.png");
    }
    iconSheet(dir + "/tray-icons.png");
    return 0;
}
