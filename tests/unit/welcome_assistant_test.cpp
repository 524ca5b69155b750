// The welcome assistant rendered offscreen over a model on the virtual
// clock: steps that tick themselves, the buttons each page offers, the
// studio page's discovery and list, the keyboard, and what Done does.
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

#include "app/ui/welcome_window.h"
#include "support/model_ports.h"
#include "support/model_state.h"
#include "support/ui_test_suites.h"
#include "support/view_checks.h"

namespace vsc::test {
namespace {

struct WelcomeFixture {
    explicit WelcomeFixture(std::shared_ptr<LoginItem> loginItem = nullptr) {
        AppModel::Ports p = isolatedPorts(main, prefs);
        p.dispatcher = &dispatcher;
        p.clock = &clock;
        p.menuBarStatus = &status;
        auto dns = std::make_unique<FakeDnsSdBrowser>();
        browser = dns.get();
        p.pcrBrowser = std::make_shared<PcrBrowser>(std::move(dns));
        p.loginItem = std::move(loginItem);
        model = AppModel::create(p);
        ShellCommands shell;
        shell.openLoginItemsSettings = [this] { calls.push_back("login items"); };
        shell.requestCameraAccess = [this] { calls.push_back("camera access"); };
        shell.requestNotificationPermission = [this] {
            calls.push_back(std::string("notifications: setup ") +
                            (model->setupCompleted() ? "done" : "open") + ", login item " +
                            (model->openAtLogin() ? "on" : "off") + ", services " +
                            (model->servicesStarted() ? "started" : "stopped"));
        };
        shell.closeWindow = [this](const std::string& key) {
            calls.push_back("close " + key + (model->servicesStarted() ? " after start" : ""));
            window->close();
        };
        window = std::make_unique<WelcomeWindow>(model, shell);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    ~WelcomeFixture() {
        window.reset();
        clock.finish();
        dispatcher.fireDelayed();
        dispatcher.joinAll();
    }
    template <class T, class V>
    void set(Published<T> AppModel::*field, V value) {
        ModelState::set(*model, field, std::move(value));
        QApplication::processEvents();  // the views follow by themselves
    }
    std::vector<QString> actions() {
        std::vector<QString> texts;
        for (QPushButton* b : window->actions()) texts.push_back(b->text());
        return texts;
    }
    void click(const QString& text) {
        for (QPushButton* b : window->actions())
            if (b->text() == text) {
                QTest::mouseClick(b, Qt::LeftButton);
                QApplication::processEvents();
                return;
            }
        QFAIL(qPrintable("no button " + text));
    }

    VirtualMainQueue main;
    VirtualClock clock;
    RecordingDispatcher dispatcher;
    MemoryPreferences prefs;
    MenuBarStatus status;
    FakeDnsSdBrowser* browser = nullptr;
    std::shared_ptr<AppModel> model;
    std::unique_ptr<WelcomeWindow> window;
    std::vector<std::string> calls;
};

}  // namespace

class WelcomeAssistantTest : public QObject {
    Q_OBJECT

  private slots:
    // The camera's page offers what its state needs and turns ready the
    // moment the camera runs, with no click in the assistant.
    void theCameraPageTicksItselfWhenTheCameraRuns() {
        WelcomeFixture f;
        auto& w = *f.window;
        QCOMPARE(w.size(), QSize(660, 470));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        f.set(&AppModel::extensionState, ExtensionNotInstalled{});
        QCOMPARE(w.header()->text(), QString("Step 1 of 3"));
        QVERIFY(w.back()->isHidden());
        QCOMPARE(f.actions(), (std::vector<QString>{"Skip for now", "Install camera"}));
        QCOMPARE(w.defaultAction()->text(), QString("Install camera"));
        QCOMPARE(w.camera()->firstInstruction()->text(), QString("1. Click Install camera."));
        QVERIFY(w.camera()->ready()->isHidden());
        QVERIFY(w.camera()->repair()->isHidden());
        QVERIFY(!w.stepList()->marker(0)->complete());
        QVERIFY(w.stepList()->marker(0)->current());

        f.set(&AppModel::extensionState, ExtensionOutdated{"1.0 (1)", "1.1 (2)"});
        QCOMPARE(w.camera()->firstInstruction()->text(), QString("1. Click Update camera."));
        QCOMPARE(w.camera()->status()->text(),
                 QString("Installed v1.0 (1), this app ships v1.1 (2)."));
        QCOMPARE(f.actions(), (std::vector<QString>{"Skip for now", "Update camera"}));

        f.set(&AppModel::extensionState, ExtensionNotStarted{"1", false});
        QVERIFY(w.camera()->repair()->isVisible());
        QVERIFY(w.camera()->repair()->isEnabled());
        f.set(&AppModel::restartingCameraService, true);
        QVERIFY(!w.camera()->repair()->isEnabled());

        // Only a camera awaiting approval sends the user to the settings.
        f.set(&AppModel::extensionState, ExtensionAwaitingApproval{});
        QCOMPARE(f.actions(),
                 (std::vector<QString>{"Skip for now", "Open System Settings", "Install camera"}));
        f.click("Open System Settings");
        QCOMPARE(f.calls, std::vector<std::string>{"login items"});

        // Approved elsewhere: ready, a single Continue, a green tick.
        f.set(&AppModel::extensionState, ExtensionOk{"1.1"});
        QVERIFY(w.camera()->ready()->isVisible());
        QCOMPARE(w.camera()->ready()->text(), QString("The camera is ready."));
        QVERIFY(w.camera()->instructions()->isHidden());
        QCOMPARE(f.actions(), std::vector<QString>{"Continue"});
        QVERIFY(w.stepList()->marker(0)->complete());
        // Return is Continue: the camera access is asked, then the next page.
        QTest::keyClick(&w, Qt::Key_Return);
        QCOMPARE(w.state().step, 1);
        QCOMPARE(f.calls.back(), std::string("camera access"));
    }

    // Microphone and studio pages; Back; the last page; closing keeps the
    // page and changes nothing.
    void thePagesGoForwardAndBackAndKeepTheirPlace() {
        WelcomeFixture f;
        auto& w = *f.window;
        f.set(&AppModel::extensionState, ExtensionNotInstalled{});
        f.click("Skip for now");
        QCOMPARE(w.header()->text(), QString("Step 2 of 3"));
        QVERIFY(!w.back()->isHidden());
        QVERIFY(w.stepList()->marker(1)->current());
        QVERIFY(!w.stepList()->marker(0)->complete());

        // No driver shipped: ready, and the step counts as done.
        f.set(&AppModel::audioDriverState, DriverUnavailable{});
        QCOMPARE(w.microphone()->state()->text(), QString("The microphone is ready."));
        QVERIFY(!w.microphone()->repair()->isVisible());
        QVERIFY(w.stepList()->marker(1)->complete());
        f.set(&AppModel::audioDriverState, DriverMissing{});
        QCOMPARE(w.microphone()->state()->text(),
                 QString("The microphone isn't ready. Repair installs it."));
        QCOMPARE(w.microphone()->state()->tone(), RowTone::warning);
        QVERIFY(w.microphone()->repair()->isVisible());
        f.set(&AppModel::repairingAudioDriver, true);
        QVERIFY(!w.microphone()->repair()->isEnabled());
        QVERIFY(w.microphone()->repairing()->isVisible());
        // Continue is never held back by an unfinished step.
        QCOMPARE(f.actions(), std::vector<QString>{"Continue"});
        QTest::mouseClick(w.back(), Qt::LeftButton);
        QCOMPARE(w.state().step, 0);
        f.click("Skip for now");
        f.click("Continue");

        // The studio: nothing is browsed until asked, and asked only once.
        auto& page = *w.studio();
        QCOMPARE(w.header()->text(), QString("Step 3 of 3"));
        QCOMPARE(f.browser->starts, 0);
        QVERIFY(page.find()->isVisible());
        QVERIFY(page.searching()->isHidden());
        QVERIFY(page.manual()->isHidden());
        QTest::mouseClick(page.find(), Qt::LeftButton);
        QApplication::processEvents();
        QCOMPARE(f.browser->starts, 1);
        QVERIFY(f.model->discoveryStarted());
        QVERIFY(page.find()->isHidden());
        QVERIFY(page.searching()->isVisible());
        // The address can be typed meanwhile.
        QTest::mouseClick(page.manualToggle(), Qt::LeftButton);
        QVERIFY(w.state().manualAddress);
        QVERIFY(page.manual()->isVisible());
        QVERIFY(page.searching()->isVisible());
        QTest::keyClicks(page.pcrHost(), "x");
        QCOMPARE(f.model->pcrHost(), std::string("127.0.0.1x"));
        // Studios announced: a row each; choosing one fills in the address.
        f.model->applyPcrList({vsc::test::announcedStudio("Studio A", ""),
                               vsc::test::announcedStudio("Studio B", "STAGE_5")});
        QApplication::processEvents();
        QVERIFY(page.searching()->isHidden());
        QCOMPARE(page.rows().size(), std::size_t(2));
        QVERIFY(page.rows()[0]->isVisible());
        QVERIFY(!page.rows()[0]->onAir() && page.rows()[1]->onAir());
        QVERIFY(!w.stepList()->marker(2)->complete());
        QTest::mouseClick(page.rows()[1], Qt::LeftButton);
        QApplication::processEvents();
        QCOMPARE(f.model->selectedPcrId(), std::string("Studio B|C1|s1"));
        QVERIFY(page.rows()[1]->selected() && !page.rows()[0]->selected());
        QCOMPARE(page.url()->text(), QString("rtsp://10.0.0.7:8554/STAGE_5"));
        QVERIFY(w.stepList()->marker(2)->complete());

        f.click("Continue");
        QVERIFY(w.header()->isHidden());
        QCOMPARE(f.actions(), std::vector<QString>{"Done"});
        QVERIFY(w.final()->openAtLogin()->isChecked());
        // Closed without Done: nothing changes, and it opens where it was.
        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(!w.isVisible());
        QVERIFY(!f.model->setupCompleted());
        QVERIFY(!f.model->servicesStarted());
        w.show();
        QCOMPARE(w.state().step, 3);
        QCOMPARE(f.actions(), std::vector<QString>{"Done"});
    }

    // Done: the setup is complete, the login item as chosen (here removed),
    // the notification question in its place, the services started once,
    // then the window closes.
    void doneFinishesTheSetupInItsOrder() {
        QTemporaryDir dir;
        const std::string entry = dir.path().toStdString() + "/autostart/vsc.desktop";
        auto login = std::make_shared<XdgAutostartLoginItem>(entry, "/usr/bin/vsc");
        QVERIFY(!login->registerItem());
        WelcomeFixture f(login);
        auto& w = *f.window;
        QVERIFY(f.model->openAtLogin());
        f.set(&AppModel::extensionState, ExtensionOk{"1"});
        f.click("Continue");
        f.click("Continue");
        QTest::mouseClick(w.studio()->find(), Qt::LeftButton);
        f.click("Continue");
        QTest::mouseClick(w.final()->openAtLogin(), Qt::LeftButton);
        QVERIFY(!w.state().openAtLogin);
        QTest::keyClick(&w, Qt::Key_Return);
        QVERIFY(!std::filesystem::exists(entry));
        QVERIFY(!f.model->openAtLogin());
        QVERIFY(f.prefs.boolValue("setupCompleted"));
        QVERIFY(f.model->servicesStarted());
        QCOMPARE(f.browser->starts, 1);
        QCOMPARE(f.calls,
                 (std::vector<std::string>{
                     "camera access", "notifications: setup done, login item off, services stopped",
                     "close welcome after start"}));
        QVERIFY(!w.isVisible());
    }

    // Every control has a name and Tab follows the layout on every page.
    void everyPageIsUsableByKeyboardAndScreenReader() {
        WelcomeFixture f;
        auto& w = *f.window;
        f.set(&AppModel::extensionState, ExtensionNotStarted{"1", false});
        f.set(&AppModel::audioDriverState, DriverMissing{});
        f.model->startDiscoveryOnce();
        f.model->applyPcrList({vsc::test::announcedStudio("Studio A", ""),
                               vsc::test::announcedStudio("Studio B", "STAGE_5")});
        f.set(&AppModel::detectStatus, std::string("Detecting…"));
        QTest::mouseClick(w.studio()->manualToggle(), Qt::LeftButton);
        for (int step = 0; step < 4; ++step) {
            QApplication::processEvents();
            QCOMPARE(w.state().step, step);
            QCOMPARE(unnamedControls(&w), std::vector<std::string>{});
            QCOMPARE(QString::fromStdString(tabOrderFault(&w)), QString());
            if (step < 3) f.click(step == 0 ? "Skip for now" : "Continue");
        }
    }
};

namespace {
UiTestSuite<WelcomeAssistantTest> suite;
}  // namespace

}  // namespace vsc::test

#include "welcome_assistant_test.moc"
