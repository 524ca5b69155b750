// The tray icon's state and the status panel, rendered offscreen from models
// on the virtual clock: which problem wins, what each banner says and offers,
// when Start and the microphone repair can be clicked, the studio picker's
// first item, the microphone line, and the Quit command.
#include "app/ui/status_panel.h"

#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include "app/model/settings_keys.h"
#include "app/ui/tray_icon.h"
#include "support/model_ports.h"
#include "support/model_state.h"
#include "support/ui_test_suites.h"

namespace vsc::test {
namespace {

const std::string kUrl = "rtsp://10.0.0.7:8554/STAGE_4";

// Unresolved unless a host is given.
PcrEntry studio(const std::string& name, const std::string& stage, const std::string& host = "") {
    return announcedStudio(name, stage, host);
}

// One model on the test's own main queue and clock, with a panel over it
// and the shell's commands recorded.
struct Fixture {
    Fixture() {
        AppModel::Ports p = isolatedPorts(main, prefs);
        p.dispatcher = &dispatcher;
        p.clock = &clock;
        p.menuBarStatus = &status;
        model = AppModel::create(p);
        ShellCommands shell;
        shell.showSettings = [this](std::optional<SettingsTab> tab) {
            settingsOpened.push_back(tab);
        };
        shell.openLoginItemsSettings = [this] { ++loginItemsOpened; };
        shell.quit = [this] { ++quits; };
        panel = std::make_unique<StatusPanel>(model, shell, StatusPanel::Mode::popup);
    }
    ~Fixture() {
        panel.reset();
        clock.finish();
        dispatcher.fireDelayed();
        dispatcher.joinAll();
    }
    template <class T, class V>
    void set(Published<T> AppModel::*field, V value) {
        ModelState::set(*model, field, std::move(value));
    }
    // What the panel shows now.
    StatusPanel& shown() {
        panel->render();
        return *panel;
    }
    QString title() { return shown().banner()->title(); }
    // Runs statistics ticks for that long, with pictures arriving or not.
    void run(double seconds, bool pictures) {
        std::vector<std::uint8_t> frame(16, 0);
        for (int tick = 0; tick < static_cast<int>(seconds * 2 + 0.5); ++tick) {
            if (pictures) model->videoPath(frame);
            main.advance(0.5);
        }
    }

    VirtualMainQueue main;
    VirtualClock clock;
    RecordingDispatcher dispatcher;
    MemoryPreferences prefs;
    MenuBarStatus status;
    std::shared_ptr<AppModel> model;
    std::unique_ptr<StatusPanel> panel;
    std::vector<std::optional<SettingsTab>> settingsOpened;
    int loginItemsOpened = 0;
    int quits = 0;
};

}  // namespace

class StatusPanelTest : public QObject {
    Q_OBJECT

  private slots:
    // The problem priorities and the icon state they give.
    void problemsComeInTheirOrderAndOnlySomeNeedAttention() {
        Fixture f;
        auto& m = *f.model;
        // Nothing chosen, nothing found: choose a studio, the icon stays ready.
        QVERIFY(m.currentProblem() == PanelProblem{ProblemChooseStudio{}});
        QCOMPARE(m.menuBarIconState(), MenuBarIconState::ready);

        // Camera and microphone both broken: the camera wins, attention.
        f.set(&AppModel::extensionState, ExtensionNotInstalled{});
        f.set(&AppModel::audioDriverState, DriverMissing{});
        QVERIFY(m.currentProblem() == PanelProblem{ProblemCamera{ExtensionNotInstalled{}}});
        QCOMPARE(m.menuBarIconState(), MenuBarIconState::attention);
        // States that are on their way raise nothing; the microphone is next.
        for (CameraExtensionState quiet :
             {CameraExtensionState{ExtensionBusy{"x"}},
              CameraExtensionState{ExtensionStarting{"1"}}, CameraExtensionState{ExtensionOk{"1"}},
              CameraExtensionState{ExtensionChecking{}}}) {
            f.set(&AppModel::extensionState, quiet);
            QVERIFY(m.currentProblem() == PanelProblem{ProblemMicrophone{DriverMissing{}}});
        }
        // An unavailable sound server is no problem of ours.
        f.set(&AppModel::audioDriverState, DriverUnavailable{});
        QVERIFY(m.currentProblem() == PanelProblem{ProblemChooseStudio{}});
        f.set(&AppModel::audioDriverState, DriverOk{"1"});

        // A chosen studio that is off air: shown, but the icon is ready, or
        // sending while pictures still arrive — never attention.
        m.setUrl(kUrl);
        m.applyPcrList({studio("Studio A", "")});
        QVERIFY(m.currentProblem() == PanelProblem{ProblemOffAir{"Studio A"}});
        QCOMPARE(m.menuBarIconState(), MenuBarIconState::ready);
        m.startSending();
        f.run(1, true);
        QVERIFY(m.receivingProgram());
        QCOMPARE(m.menuBarIconState(), MenuBarIconState::sending);
        QCOMPARE(f.status.state(), MenuBarIconState::sending);  // the tick assigned it
        // Programme lost while off air: the off-air box stays, no attention.
        f.run(5, false);
        QVERIFY(m.currentProblem() == PanelProblem{ProblemOffAir{"Studio A"}});
        QCOMPARE(m.menuBarIconState(), MenuBarIconState::ready);
        m.stopSending();
        f.main.advance(2);

        // On air now: the programme lost counts from 3.0 s, with whole seconds.
        m.applyPcrList({studio("Studio A", "STAGE_4", "10.0.0.7")});
        QVERIFY(!m.currentProblem());
        m.startSending();
        f.run(1, true);
        QVERIFY(!m.currentProblem());
        f.run(1.5, false);  // the third silent tick: lost from now
        QVERIFY(m.programLostSince());
        f.run(2.5, false);
        QVERIFY(!m.currentProblem());
        QCOMPARE(m.menuBarIconState(), MenuBarIconState::ready);
        f.run(0.5, false);
        QVERIFY((m.currentProblem() == PanelProblem{ProblemProgramLost{"Studio A", 3}}));
        QCOMPARE(f.title(), QString("Reconnecting to Studio A…"));
        QVERIFY(f.panel->banner()->detail().startsWith("For 3 s"));
        QCOMPARE(m.menuBarIconState(), MenuBarIconState::attention);
        QCOMPARE(f.status.state(), MenuBarIconState::attention);
        f.run(1, false);
        QVERIFY((m.currentProblem() == PanelProblem{ProblemProgramLost{"Studio A", 4}}));
        f.run(0.5, true);
        QVERIFY(!m.currentProblem());
        m.stopSending();

        // No complete URL: choose a studio, with or without studios found.
        f.main.advance(2);
        m.applyPcrList({studio("Studio A", "STAGE_4"), studio("Studio B", "STAGE_5")});
        m.setSelectedPcrId("");
        m.setUrl("rtsp://10.0.0.7:8554/live");
        QVERIFY(m.currentProblem() == PanelProblem{ProblemChooseStudio{}});
        QCOMPARE(f.title(), QString("Choose a studio"));
        QVERIFY(!f.panel->banner()->actionShown());
        m.applyPcrList({});
        QCOMPARE(f.title(), QString("No studio found on your network"));
    }

    // Every banner's texts, action and enabling, and where its action leads.
    void eachBannerSaysWhatToDo() {
        Fixture f;
        auto& m = *f.model;
        auto* banner = f.panel->banner();
        auto* action = banner->actionButton();
        struct Case {
            CameraExtensionState state;
            QString title, detail, action;
            bool busy;
        };
        const Case cases[] = {
            {ExtensionOutdated{"1.0 (1)", "1.1 (2)"}, "A camera update is ready",
             "Installed v1.0 (1), this app ships v1.1 (2). Video apps keep the old camera until "
             "you update.",
             "Update camera", false},
            {ExtensionNotStarted{"1", true}, "Restart your computer",
             "The camera still hasn't started after a repair.", "", false},
            {ExtensionNotStarted{"1", false}, "Video apps can't see the camera",
             "Checking what the system sees…", "Repair camera", true},
            {ExtensionFailed{"disk full"}, "The camera couldn't be installed", "disk full",
             "Try again", false},
            {ExtensionNotInstalled{}, "The camera isn't installed",
             "Video apps can't see “Vendaroscope Program”.", "Install camera", false},
            {ExtensionAwaitingApproval{}, "Allow the camera in System Settings",
             "General › Login Items & Extensions › Camera Extensions: switch on Vendaroscope "
             "Virtual Webcam.",
             "Open System Settings", false},
            {ExtensionRebootRequired{}, "Restart your computer",
             "The camera finishes installing at the next restart.", "", false},
        };
        for (const auto& c : cases) {
            f.set(&AppModel::extensionState, c.state);
            f.shown();
            QCOMPARE(banner->title(), c.title);
            QCOMPARE(banner->detail(), c.detail);
            QVERIFY(!banner->informational());
            QCOMPARE(!banner->actionShown(), c.action.isEmpty());
            if (!c.action.isEmpty()) {
                QCOMPARE(action->text(), c.action);
                QCOMPARE(action->isEnabled(), !c.busy);
                QCOMPARE(banner->busyShown(), c.busy);
            }
        }
        // The repair's detail follows what the system sees.
        f.set(&AppModel::extensionState, ExtensionNotStarted{"1", false});
        f.set(&AppModel::cameraVisibleSystemWide, std::optional<bool>(true));
        f.shown();
        QCOMPARE(banner->detail(),
                 QString("The camera is ready on your computer but this app lost it. Repair "
                         "reopens the app."));
        QVERIFY(action->isEnabled());
        f.set(&AppModel::cameraVisibleSystemWide, std::optional<bool>(false));
        f.shown();
        QCOMPARE(banner->detail(), QString("The camera service didn't start it. Repair restarts "
                                           "the service, then reopens the app."));
        f.set(&AppModel::restartingCameraService, true);
        f.shown();
        QVERIFY(!action->isEnabled());
        QVERIFY(banner->busyShown());
        // "Open System Settings" goes to the shell.
        f.set(&AppModel::extensionState, ExtensionAwaitingApproval{});
        f.shown();
        action->click();
        QCOMPARE(f.loginItemsOpened, 1);

        // The microphone: busy while repairing or sending, its detail by sending.
        f.set(&AppModel::extensionState, ExtensionOk{"1"});
        f.set(&AppModel::audioDriverState, DriverMissing{});
        f.shown();
        QCOMPARE(banner->title(), QString("The microphone isn't installed"));
        QCOMPARE(banner->detail(),
                 QString("Video apps get the picture but no sound. Repair reinstalls it."));
        QVERIFY(action->isEnabled());
        QCOMPARE(action->text(), QString("Repair microphone"));
        f.set(&AppModel::audioDriverState, DriverOutdated{"1", "2"});
        f.set(&AppModel::running, true);
        f.shown();
        QCOMPARE(banner->title(), QString("The microphone needs a repair"));
        QCOMPARE(banner->detail(),
                 QString("Video apps get the picture but no sound. Stop sending, then repair."));
        QVERIFY(!action->isEnabled());
        QVERIFY(banner->busyShown());
        f.set(&AppModel::running, false);
        f.set(&AppModel::repairingAudioDriver, true);
        f.shown();
        QVERIFY(!action->isEnabled());
        f.set(&AppModel::repairingAudioDriver, false);
        f.set(&AppModel::audioDriverState, DriverNotLoaded{"1"});
        f.shown();
        QVERIFY(action->isEnabled());
        QCOMPARE(f.panel->microphoneText()->text(), QString("Not installed"));
        QCOMPARE(f.panel->microphoneIcon()->tone(), RowTone::warning);

        // The informational ones: grey, and only "no studio" has an action.
        f.set(&AppModel::audioDriverState, DriverOk{"1"});
        f.shown();
        QCOMPARE(banner->title(), QString("No studio found on your network"));
        QCOMPARE(banner->detail(), QString("Check that your computer is on the studio's network, "
                                           "or enter the PCR address in Settings."));
        QVERIFY(banner->informational());
        QCOMPARE(action->text(), QString("Open Settings"));
        action->click();
        QCOMPARE(f.settingsOpened.size(), std::size_t(1));
        QVERIFY(f.settingsOpened[0] == SettingsTab::general);
        m.applyPcrList({studio("", "", "10.0.0.7")});
        f.shown();
        QCOMPARE(banner->title(), QString("pcr- is off air"));
        QCOMPARE(banner->detail(), QString("Participants see “Waiting for program…” until the "
                                           "studio goes on air."));
        QVERIFY(banner->informational());
        QVERIFY(!banner->actionShown());
        QVERIFY(!f.panel->badge()->isHidden());
        QCOMPARE(f.panel->badge()->text(), QString("OFF AIR"));
    }

    // Start: disabled while locked and without a complete address; the
    // picker's first item; the programme and microphone lines.
    void startPickerAndLinesFollowTheModel() {
        Fixture f;
        auto& m = *f.model;
        auto& panel = f.shown();
        f.set(&AppModel::extensionState, ExtensionOk{"1"});
        QCOMPARE(panel.picker()->itemText(0), QString("No studio found"));
        QVERIFY(!panel.startStop()->isEnabled());
        QCOMPARE(panel.startStop()->text(), QString("Start"));
        QVERIFY(panel.badge()->isHidden());
        QVERIFY(panel.preview()->isHidden());
        QCOMPARE(f.shown().programDetail()->fullText(), QString("Not on air"));

        m.setUrl("  " + kUrl + "\t");
        f.shown();
        QCOMPARE(panel.picker()->itemText(0), QString("Address 10.0.0.7"));
        QVERIFY(panel.startStop()->isEnabled());
        QCOMPARE(panel.programDetail()->fullText(), QString("Ready to send"));
        QCOMPARE(panel.cameraDetail()->fullText(), QString("Visible to apps"));
        QCOMPARE(panel.cameraIcon()->tone(), RowTone::ok);
        // The microphone line: "Ready", neutral while the driver is unavailable.
        QCOMPARE(panel.microphoneText()->text(), QString("Ready"));
        QCOMPARE(panel.microphoneIcon()->tone(), RowTone::neutral);
        QVERIFY(panel.meter()->isHidden());

        m.applyPcrList({studio("Studio A", "STAGE_4", "10.0.0.7"), studio("", "STAGE_9")});
        f.shown();
        QCOMPARE(panel.picker()->count(), 3);
        QCOMPARE(panel.picker()->itemText(0), QString("Choose a studio…"));
        QCOMPARE(panel.picker()->itemText(1), QString("Studio A"));
        QCOMPARE(panel.picker()->itemText(2), QString("pcr-"));
        // Choosing in the picker chooses the studio.
        panel.picker()->setCurrentIndex(1);
        emit panel.picker()->activated(1);
        QCOMPARE(m.selectedPcrId(), std::string("Studio A|C1|s1"));
        f.shown();
        QCOMPARE(panel.badge()->text(), QString("ON AIR"));

        // Clicking Start sends; the control locks for 1.5 s and says "Starting…".
        f.set(&AppModel::audioDriverState, DriverOk{"1"});
        QTest::mouseClick(panel.startStop(), Qt::LeftButton);
        QVERIFY(m.running());
        f.shown();
        QCOMPARE(panel.startStop()->text(), QString("Stop"));
        QVERIFY(!panel.startStop()->isEnabled());
        QVERIFY(!panel.startingText()->isHidden());
        QVERIFY(!panel.picker()->isEnabled());
        QVERIFY(!panel.preview()->isHidden());
        QCOMPARE(panel.preview()->caption(), QString("Waiting for the program…"));
        QCOMPARE(panel.programDetail()->fullText(), QString("Waiting for the program…"));
        QVERIFY(!panel.meter()->isHidden());
        QCOMPARE(panel.microphoneIcon()->tone(), RowTone::ok);
        f.main.advance(1.4);
        QVERIFY(!f.shown().startStop()->isEnabled());
        f.run(1, true);  // 1.5 s has passed; pictures arrive
        f.shown();
        QVERIFY(panel.startStop()->isEnabled());
        QVERIFY(panel.startingText()->isHidden());
        QCOMPARE(panel.programDetail()->fullText(), QString("Received · 2 fps"));
        QCOMPARE(panel.programIcon()->tone(), RowTone::ok);
        QCOMPARE(panel.preview()->caption(), QString("Preview…"));
        // The meter's colour by level.
        f.set(&AppModel::audioLevel, 0.95);
        QCOMPARE(f.shown().meter()->barColor(), panel_colors::kRed);
        f.set(&AppModel::audioLevel, 0.8);
        QCOMPARE(f.shown().meter()->barColor(), panel_colors::kOrange);
        f.set(&AppModel::audioLevel, 0.5);
        QCOMPARE(f.shown().meter()->barColor(), panel_colors::kGreen);

        // Stop from the panel clears the resume marker.
        QTest::mouseClick(panel.startStop(), Qt::LeftButton);
        QVERIFY(!m.running());
        QVERIFY(!f.prefs.boolValue(keys::kResumeSending));
    }

    // Quit clears "resumeSending" only when it stops sending; then it ends.
    void quitClearsResumeOnlyWhileSending() {
        Fixture f;
        auto& m = *f.model;
        f.prefs.set(keys::kResumeSending, true);
        QTest::mouseClick(f.shown().command(2), Qt::LeftButton);
        QCOMPARE(f.quits, 1);
        QVERIFY(f.prefs.boolValue(keys::kResumeSending));

        m.setUrl(kUrl);
        m.startSending();
        QVERIFY(f.prefs.boolValue(keys::kResumeSending));
        QTest::mouseClick(f.shown().command(2), Qt::LeftButton);
        QCOMPARE(f.quits, 2);
        QVERIFY(!m.running());
        QVERIFY(!f.prefs.boolValue(keys::kResumeSending));

        // The other commands: settings as it was, and diagnostics.
        QTest::mouseClick(f.panel->command(0), Qt::LeftButton);
        QTest::mouseClick(f.panel->command(1), Qt::LeftButton);
        QCOMPARE(f.settingsOpened.size(), std::size_t(2));
        QVERIFY(!f.settingsOpened[0]);
        QVERIFY(f.settingsOpened[1] == SettingsTab::diagnostics);
    }

    // Showing the panel asks for the preview; hiding it drops the preview.
    void thePanelWantsThePreviewOnlyWhileShown() {
        Fixture f;
        QCOMPARE(f.model->previewWanted.load(), 0);
        f.panel->show();
        QCOMPARE(f.model->previewWanted.load(), 1);
        f.panel->hide();
        QCOMPARE(f.model->previewWanted.load(), 0);
        QVERIFY(!f.model->preview());
    }

    // The three icons differ where it matters: the lens.
    void theIconDrawsEachStateAtAnySize() {
        for (int size : {16, 22, 48}) {
            const QImage ready = drawMenuBarIcon(MenuBarIconState::ready, size, Qt::black);
            const QImage sending = drawMenuBarIcon(MenuBarIconState::sending, size, Qt::black);
            const QImage attention = drawMenuBarIcon(MenuBarIconState::attention, size, Qt::black);
            QCOMPARE(ready.size(), QSize(size, size));
            // The lens centre: hollow when ready, green when sending,
            // orange when attention is needed.
            const QPoint lens(size / 2, static_cast<int>(size * 7.5 / 18));
            QVERIFY(qAlpha(ready.pixel(lens)) < 128 || qGray(ready.pixel(lens)) > 128);
            const QColor green = QColor(sending.pixel(lens));
            QVERIFY(green.green() > 150 && green.red() < 100);
            const QColor orange = QColor(attention.pixel(lens));
            QVERIFY(orange.red() > 200 && orange.blue() < 60);
        }
        QCOMPARE(QString::fromStdString(accessibilityLabel(MenuBarIconState::sending)),
                 QString("Vendaroscope Virtual Webcam, sending the program"));
    }
};

}  // namespace vsc::test

namespace {
vsc::test::UiTestSuite<vsc::test::StatusPanelTest> suite;
}  // namespace

#include "status_panel_test.moc"
