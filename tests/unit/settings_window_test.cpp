// The settings window rendered offscreen over a model on the virtual clock:
// what sending locks, how the gain and delays read, which repairs each
// state offers, the diagnostics' values and log, the shared section, and
// the keyboard.
#include "app/ui/settings_window.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>

#include "app/audio/audio_driver_installer.h"
#include "app/camera/camera_extension_installer.h"
#include "support/model_ports.h"
#include "support/model_state.h"
#include "support/ui_test_suites.h"
#include "support/view_checks.h"

namespace vsc::test {
namespace {

struct SettingsFixture {
    explicit SettingsFixture(const std::function<void(MemoryPreferences&)>& stored = {},
                             std::shared_ptr<LoginItem> loginItem = nullptr) {
        if (stored) stored(prefs);
        AppModel::Ports p = isolatedPorts(main, prefs);
        p.dispatcher = &dispatcher;
        p.clock = &clock;
        p.menuBarStatus = &status;
        p.loginItem = std::move(loginItem);
        model = AppModel::create(p);
        model->onLogLine = [this](const std::string& line) { logs.push_back(line); };
        ShellCommands shell;
        shell.showWelcome = [this] { ++welcomes; };
        window = std::make_unique<SettingsWindow>(model, selection, shell);
    }
    ~SettingsFixture() {
        window.reset();
        clock.finish();
        dispatcher.fireDelayed();
        dispatcher.joinAll();
    }
    template <class T, class V>
    void set(Published<T> AppModel::*field, V value) {
        ModelState::set(*model, field, std::move(value));
    }
    SettingsWindow& shown() {
        window->render();
        return *window;
    }

    VirtualMainQueue main;
    VirtualClock clock;
    RecordingDispatcher dispatcher;
    MemoryPreferences prefs;
    MenuBarStatus status;
    SettingsTabSelection selection;
    std::shared_ptr<AppModel> model;
    std::unique_ptr<SettingsWindow> window;
    int welcomes = 0;
    std::vector<std::string> logs;
};

// Where a widget sits in its window: what a person sees move.
QPoint placeOf(QWidget* w) {
    return w->mapTo(w->window(), QPoint());
}

}  // namespace

class SettingsWindowTest : public QObject {
    Q_OBJECT

  private slots:
    // While sending, what would change the programme under way is locked;
    // what can change live stays usable. Toggles show the model's state.
    void sendingLocksTheAddressTheOutputAndTheMicrophone() {
        // A desktop that refuses the login item.
        SettingsFixture f({}, std::make_shared<XdgAutostartLoginItem>("/proc/none/vsc.desktop",
                                                                       "/usr/bin/vsc"));
        auto& m = *f.model;
        auto& w = f.shown();
        f.set(&AppModel::audioDriverState, DriverMissing{});
        auto unlocked = [&] {
            return std::vector<bool>{w.general()->addressSection()->isEnabled(),
                                     w.general()->pcrHost()->isEnabled(),
                                     w.audio()->output()->isEnabled(),
                                     w.audio()->refresh()->isEnabled(),
                                     w.maintenance()->repairMicrophone()->isEnabled()};
        };
        auto live = [&] {
            return std::vector<bool>{
                w.audio()->gain()->isEnabled(),      w.sync()->audioDelay()->isEnabled(),
                w.sync()->videoDelay()->isEnabled(), w.ndi()->enabled()->isEnabled(),
                w.ndi()->name()->isEnabled(),        w.general()->showInDock()->isEnabled()};
        };
        f.shown();
        QCOMPARE(unlocked(), std::vector<bool>(5, true));
        f.set(&AppModel::running, true);
        f.shown();
        QCOMPARE(unlocked(), std::vector<bool>(5, false));
        QCOMPARE(live(), std::vector<bool>(6, true));
        f.set(&AppModel::running, false);
        f.shown();
        QCOMPARE(unlocked(), std::vector<bool>(5, true));

        // Without an NDI runtime the switch springs back; the name is
        // locked while the source is on.
        w.ndi()->enabled()->click();
        QVERIFY(!m.ndiEnabled());
        QVERIFY(!w.ndi()->enabled()->isChecked());
        QCOMPARE(w.ndi()->status()->text(), QString("Off"));
        f.set(&AppModel::ndiEnabled, true);
        f.set(&AppModel::ndiStatus, std::string("Sending to 2 receivers"));
        f.shown();
        QVERIFY(w.ndi()->enabled()->isChecked());
        QVERIFY(!w.ndi()->name()->isEnabled());
        QCOMPARE(w.ndi()->status()->text(), QString("Sending to 2 receivers"));

        // Typing goes to the model; the model's change does not move the caret.
        w.general()->pcrHost()->setFocus();
        w.general()->pcrHost()->selectAll();
        QTest::keyClicks(w.general()->pcrHost(), "10.0.0.9");
        QCOMPARE(m.pcrHost(), std::string("10.0.0.9"));
        QCOMPARE(f.prefs.string("pcrHost"), std::string("10.0.0.9"));
        w.general()->url()->setText("");
        QTest::keyClicks(w.general()->url(), "rtsp://10.0.0.9:8554/STAGE_2");
        QCOMPARE(m.url(), std::string("rtsp://10.0.0.9:8554/STAGE_2"));
        QVERIFY(w.general()->detectStatus()->isHidden());
        w.general()->detect()->click();
        f.shown();
        QCOMPARE(w.general()->detectStatus()->text(), QString("Detecting…"));
        QVERIFY(!w.general()->detectStatus()->isHidden());

        // The login item is refused: said in the log, and the toggle springs back.
        QVERIFY(!w.general()->openAtLogin()->isChecked());
        w.general()->openAtLogin()->click();
        QVERIFY(!w.general()->openAtLogin()->isChecked());
        QVERIFY(f.logs.back().find("Open at login: ") != std::string::npos);
        w.general()->resumeAtLogin()->click();
        QVERIFY(!m.resumeAtLogin());
        QVERIFY(!w.general()->resumeAtLogin()->isChecked());
        w.general()->runAssistant()->click();
        QCOMPARE(f.welcomes, 1);
    }

    // The gain reads truncated to whole dB and Reset goes by the exact value;
    // a value between the slider's steps survives being shown. Labels keep
    // their width so the sliders do not move while they are dragged.
    void gainDelaysAndOutputReadAsStored() {
        SettingsFixture f([](MemoryPreferences& p) { p.set("audioGainDb", 0.5); });
        auto& m = *f.model;
        auto& audio = *f.shown().audio();
        QCOMPARE(audio.gainText()->text(), QString("Gain +0 dB"));
        QVERIFY(audio.reset()->isEnabled());
        QCOMPARE(audio.gain()->value(), 0);
        f.shown();
        QCOMPARE(m.audioGainDb(), 0.5);
        audio.reset()->click();
        QCOMPARE(m.audioGainDb(), 0.0);
        QCOMPARE(audio.gainText()->text(), QString("Gain 0 dB"));
        QVERIFY(!audio.reset()->isEnabled());

        f.selection.setTab(SettingsTab::audio);
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        const QPoint sliderAt = placeOf(audio.gain());
        audio.gain()->setValue(6);
        QCOMPARE(m.audioGainDb(), 6.0);
        QCOMPARE(audio.gainText()->text(), QString("Gain +6 dB"));
        audio.gain()->setValue(-24);
        QApplication::processEvents();
        QCOMPARE(placeOf(audio.gain()), sliderAt);
        audio.gain()->setValue(-3);
        QCOMPARE(audio.gainText()->text(), QString("Gain -3 dB"));
        QVERIFY(audio.reset()->isEnabled());
        QCOMPARE(f.prefs.doubleValue("audioGainDb"), -3.0);

        auto& sync = *f.window->sync();
        f.selection.setTab(SettingsTab::sync);
        QApplication::processEvents();
        const QPoint delayAt = placeOf(sync.videoDelay());
        sync.audioDelay()->setValue(25);
        QCOMPARE(m.audioDelayMs(), 250.0);
        QCOMPARE(sync.audioDelayText()->text(), QString("Audio delay 250 ms"));
        sync.videoDelay()->setValue(100);
        QCOMPARE(m.videoDelayMs(), 1000.0);
        QCOMPARE(sync.videoDelayText()->text(), QString("Video delay 1000 ms"));
        sync.videoDelay()->setValue(0);
        QApplication::processEvents();
        QCOMPARE(placeOf(sync.videoDelay()), delayAt);
        QCOMPARE(sync.videoDelayText()->text(), QString("Video delay 0 ms"));

        // The output picker: "None", then the devices in their order.
        f.set(&AppModel::audioDevices,
              std::vector<AudioDevice>{{40, "Built-in Output"}, {61, "Vendaroscope Program Audio"}});
        m.setSelectedAudioDevice(61);
        f.shown();
        QCOMPARE(audio.output()->count(), 3);
        QCOMPARE(audio.output()->itemText(0), QString("None"));
        QCOMPARE(audio.output()->itemText(1), QString("Built-in Output"));
        QCOMPARE(audio.output()->currentIndex(), 2);
        audio.output()->setCurrentIndex(0);
        emit audio.output()->activated(0);
        QCOMPARE(m.selectedAudioDevice(), 0u);
        audio.output()->setCurrentIndex(1);
        emit audio.output()->activated(1);
        QCOMPARE(m.selectedAudioDevice(), 40u);
    }

    // "Repair camera" only for a camera that did not start, between Install
    // and Restart; the microphone's button by its state, sending and repair.
    void maintenanceOffersWhatEachStateAllows() {
        SettingsFixture f;
        f.selection.setTab(SettingsTab::maintenance);
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        auto& page = *f.window->maintenance();
        for (CameraExtensionState state :
             {CameraExtensionState{ExtensionOk{"1"}}, CameraExtensionState{ExtensionNotInstalled{}},
              CameraExtensionState{ExtensionOutdated{"1", "2"}},
              CameraExtensionState{ExtensionStarting{"1"}},
              CameraExtensionState{ExtensionNotStarted{"1", false}},
              CameraExtensionState{ExtensionNotStarted{"1", true}},
              CameraExtensionState{ExtensionFailed{"disk full"}}}) {
            f.set(&AppModel::extensionState, state);
            QApplication::processEvents();
            const bool notStarted = std::holds_alternative<ExtensionNotStarted>(state);
            QCOMPARE(page.repairCamera()->isVisible(), notStarted);
            QCOMPARE(page.cameraSummary()->text(), QString::fromStdString(summary(state)));
        }
        QVERIFY(page.install()->x() < page.repairCamera()->x());
        QVERIFY(page.repairCamera()->x() < page.restartService()->x());
        QVERIFY(page.restartService()->x() < page.uninstall()->x());
        QVERIFY(!page.restarting()->isVisible());
        f.set(&AppModel::restartingCameraService, true);
        QApplication::processEvents();
        QVERIFY(!page.repairCamera()->isEnabled());
        QVERIFY(!page.restartService()->isEnabled());
        QVERIFY(page.restarting()->isVisible());
        QVERIFY(page.install()->isEnabled() && page.uninstall()->isEnabled());

        struct Case {
            AudioDriverState state;
            bool running, repairing;
            QString label;
            bool enabled;
        };
        const Case cases[] = {
            {DriverUnavailable{}, false, false, "Repair", false},
            {DriverOk{"1"}, false, false, "Repair", true},
            {DriverMissing{}, false, false, "Install / repair", true},
            {DriverOutdated{"1", "2"}, false, false, "Install / repair", true},
            {DriverNotLoaded{"1"}, true, false, "Install / repair", false},
            {DriverNotLoaded{"1"}, false, true, "Install / repair", false},
        };
        for (const auto& c : cases) {
            f.set(&AppModel::audioDriverState, c.state);
            f.set(&AppModel::running, c.running);
            f.set(&AppModel::repairingAudioDriver, c.repairing);
            QApplication::processEvents();
            QCOMPARE(page.repairMicrophone()->text(), c.label);
            QCOMPARE(page.repairMicrophone()->isEnabled(), c.enabled);
            QCOMPARE(page.repairing()->isVisible(), c.repairing);
            QCOMPARE(page.microphoneSummary()->text(), QString::fromStdString(summary(c.state)));
        }
    }

    // Live values with their "—" cases; the log copied as one text, and
    // followed while the reader is at its end.
    void diagnosticsShowLiveValuesAndCopyTheLog() {
        SettingsFixture f;
        auto& m = *f.model;
        auto& page = *f.shown().diagnostics();
        auto value = [&](const char* label) {
            f.shown();
            return page.value(QString::fromUtf8(label))->text();
        };
        f.set(&AppModel::audioLevelDb, -12.0);
        QCOMPARE(value("Audio level"), QString("—"));
        f.set(&AppModel::audioLevel, 0.8);
        QCOMPARE(value("Audio level"), QString("-12 dB"));
        QCOMPARE(value("Program"), QString("—"));
        m.setUrl("rtsp://10.0.0.7:8554/STAGE_4");
        QCOMPARE(value("Program"), QString("rtsp://10.0.0.7:8554/STAGE_4"));
        QCOMPARE(value("Decoder"), QString("Stopped"));
        f.set(&AppModel::ffmpegRunning, true);
        f.set(&AppModel::inputFps, 29.6);
        f.set(&AppModel::droppedFrames, std::int64_t{2});
        QCOMPARE(value("Decoder"), QString("Running"));
        QCOMPARE(value("Input"), QString("30 fps · 2 dropped"));
        QCOMPARE(value("Camera sink"), QString("Disconnected"));
        f.set(&AppModel::audioDriverState, DriverMissing{});
        QCOMPARE(value("Microphone driver"), QString::fromStdString(summary(DriverMissing{})));

        f.selection.setTab(SettingsTab::diagnostics);
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        for (int i = 0; i < 80; ++i) m.log("line " + std::to_string(i));
        QApplication::processEvents();
        QScrollBar* bar = page.log()->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        m.log("the newest");
        QApplication::processEvents();
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(page.log()->toPlainText().endsWith("the newest"));
        bar->setValue(3);
        m.log("one more");
        QApplication::processEvents();
        QCOMPARE(bar->value(), 3);

        QApplication::clipboard()->setText("something else");
        QTest::mouseClick(page.copyLog(), Qt::LeftButton);
        QString expected;
        for (const auto& line : m.logLines())
            expected += QString::fromStdString(line) + (line == m.logLines().back() ? "" : "\n");
        QCOMPARE(QApplication::clipboard()->text(), expected);
        QVERIFY(expected.endsWith("one more"));
    }

    // The section shown is the shared selection's, both ways; the window
    // keeps it when closed and opened again.
    void theSectionIsTheSharedSelection() {
        SettingsFixture f;
        auto& w = *f.window;
        QCOMPARE(w.sections()->count(), 6);
        QCOMPARE(w.sections()->tabText(5), QString("Diagnostics"));
        QCOMPARE(w.size(), QSize(660, 520));
        QCOMPARE(w.minimumSize(), QSize(620, 480));
        f.selection.setTab(SettingsTab::maintenance);
        QCOMPARE(w.sections()->currentIndex(), 4);
        QCOMPARE(w.shownPage(), static_cast<QWidget*>(w.maintenance()));
        w.sections()->setCurrentIndex(2);
        QCOMPARE(f.selection.tab(), SettingsTab::sync);
        QCOMPARE(w.shownPage(), static_cast<QWidget*>(w.sync()));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(!w.isVisible());
        w.show();
        QCOMPARE(w.shownPage(), static_cast<QWidget*>(w.sync()));
    }

    // Every control a keyboard reaches has a name, and Tab follows the
    // layout, on every section in the states with the most controls.
    void everySectionIsUsableByKeyboardAndScreenReader() {
        SettingsFixture f;
        f.set(&AppModel::extensionState, ExtensionNotStarted{"1", false});
        f.set(&AppModel::loginItemNote, std::string("Allow it"));
        f.set(&AppModel::detectStatus, std::string("Detecting…"));
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        QCOMPARE(unnamedControls(f.window.get()), std::vector<std::string>{});
        for (SettingsTab tab : kAllSettingsTabs) {
            f.selection.setTab(tab);
            QApplication::processEvents();
            QCOMPARE(QString::fromStdString(tabOrderFault(f.window.get())), QString());
        }
    }
};

namespace {
UiTestSuite<SettingsWindowTest> suite;
}  // namespace

}  // namespace vsc::test

#include "settings_window_test.moc"
