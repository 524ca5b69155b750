#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "app/camera/camera_extension_installer.h"
#include "app/model/app_model.h"
#include "support/model_ports.h"
#include "support/scripted_extension_service.h"

namespace fs = std::filesystem;
using vsc::CameraExtensionInstaller;
using vsc::CameraExtensionState;
using Kind = vsc::test::ScriptedExtensionService::Kind;

namespace {

vsc::WallTime at(double seconds) {
    return vsc::WallTime(std::chrono::duration_cast<vsc::WallTime::duration>(
        std::chrono::hours(24 * 365 * 50) + vsc::Seconds(seconds)));
}

struct StateCase {
    const char* name;
    CameraExtensionInstaller::Facts facts;
    CameraExtensionState state;
    std::string summary;
};

CameraExtensionInstaller::Facts facts(std::optional<std::string> installed, bool visible,
                                      std::optional<double> missingFor = std::nullopt) {
    CameraExtensionInstaller::Facts f;
    f.installed = std::move(installed);
    f.embedded = "1.0 (4)";
    f.cameraVisible = visible;
    f.now = at(100);
    if (missingFor) f.cameraMissingSince = at(100 - *missingFor);
    return f;
}

// Each rule is checked with the inputs of the rules below it set so that they
// would decide otherwise: only the order makes the first one win.
TEST(CameraExtensionStateRules, TheFirstRuleThatAppliesDecidesAndSaysItsWords) {
    std::vector<StateCase> cases;
    {
        auto f = facts("1.0 (4)", true);
        f.requestStatus = "Requesting activation…";
        f.outcome = vsc::ExtensionRebootRequired{};
        cases.push_back({"StatusBeatsOutcome", f, vsc::ExtensionBusy{"Requesting activation…"},
                         "Requesting activation…"});
        f.requestStatus.reset();
        cases.push_back({"OutcomeBeatsInstalled", f, vsc::ExtensionRebootRequired{},
                         "Restart your computer to finish installing the camera"});
        f.outcome = vsc::ExtensionFailed{"The operation couldn’t be completed."};
        cases.push_back({"Failed", f, vsc::ExtensionFailed{"The operation couldn’t be completed."},
                         "Failed: The operation couldn’t be completed."});
        f.outcome = vsc::ExtensionAwaitingApproval{};
        cases.push_back(
            {"AwaitingApproval", f, vsc::ExtensionAwaitingApproval{},
             "Waiting for approval in System Settings › General › Login Items & Extensions"});
    }
    cases.push_back({"NoneActiveEvenWhileVisible", facts("", true), vsc::ExtensionNotInstalled{},
                     "Not installed — the “Vendaroscope Program” camera is unavailable"});
    cases.push_back({"OutdatedEvenWhileVisible", facts("1.0 (3)", true),
                     vsc::ExtensionOutdated{"1.0 (3)", "1.0 (4)"},
                     "Installed v1.0 (3), this app ships v1.0 (4) — click Install / update"});
    {
        auto f = facts("1.0 (3)", true);
        f.embedded.reset();  // nothing to compare with
        cases.push_back({"UnreadableEmbeddedCopy", f, vsc::ExtensionOk{"1.0 (3)"},
                         "Installed · v1.0 (3) · visible to apps"});
    }
    cases.push_back({"NotYetMissing", facts("1.0 (4)", false), vsc::ExtensionStarting{"1.0 (4)"},
                     "Installed v1.0 (4) — waiting for the camera service to start the camera…"});
    cases.push_back({"Missing7.9s", facts("1.0 (4)", false, 7.9), vsc::ExtensionStarting{"1.0 (4)"},
                     "Installed v1.0 (4) — waiting for the camera service to start the camera…"});
    cases.push_back({"Missing8s", facts("1.0 (4)", false, 8.0),
                     vsc::ExtensionNotStarted{"1.0 (4)", false},
                     "Installed v1.0 (4), but the camera service has not started the camera — "
                     "apps can't see it"});
    {
        auto f = facts("1.0 (4)", false, 8.0);
        f.cameraServiceRestarted = true;
        cases.push_back(
            {"Missing8sAfterARestart", f, vsc::ExtensionNotStarted{"1.0 (4)", true},
             "Installed v1.0 (4), still not started by the camera service — restart your "
             "computer"});
    }
    {
        auto f = facts(std::nullopt, true);
        f.lookupFailed = true;
        cases.push_back({"UnknownVersionVisible", f, vsc::ExtensionOk{"?"},
                         "Installed · v? · visible to apps"});
        f.cameraVisible = false;
        cases.push_back({"LookupFailedNotVisible", f, vsc::ExtensionNotInstalled{},
                         "Not installed — the “Vendaroscope Program” camera is unavailable"});
    }
    cases.push_back(
        {"NothingKnown", facts(std::nullopt, false, 30), vsc::ExtensionChecking{}, "Checking…"});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CameraExtensionState state = CameraExtensionInstaller::state(c.facts);
        EXPECT_EQ(state, c.state);
        EXPECT_EQ(vsc::summary(state), c.summary);
    }
}

TEST(CameraExtensionStateRules, VersionLabelsComeFromTheManifestAndTheSystemsRecord) {
    char pattern[] = "/tmp/vsc-manifest-XXXXXX";
    fs::path dir = mkdtemp(pattern);
    auto write = [&](const std::string& text) {
        fs::create_directories(dir / CameraExtensionInstaller::kIdentifier);
        std::ofstream(CameraExtensionInstaller::manifestPath(dir.string()), std::ios::binary)
            << text;
    };
    auto embedded = [&] { return CameraExtensionInstaller::embeddedVersion(dir.string()); };
    EXPECT_EQ(embedded(), std::nullopt);  // no manifest
    write(R"({"CFBundleShortVersionString": "1.4", "CFBundleVersion": "27"})");
    EXPECT_EQ(embedded(), "1.4 (27)");
    write(R"({"CFBundleShortVersionString": 1.4, "other": "27"})");
    EXPECT_EQ(embedded(), "? (?)");  // not text, absent
    write(R"(["1.4", "27"])");
    EXPECT_EQ(embedded(), std::nullopt);  // not an object
    write(R"({"CFBundleShortVersionString": "1.4")");
    EXPECT_EQ(embedded(), std::nullopt);
    // A valid object padded beyond the limit is not read at all.
    write(std::string(CameraExtensionInstaller::kManifestLimit, ' ') +
          R"({"CFBundleShortVersionString": "1.4", "CFBundleVersion": "27"})");
    EXPECT_EQ(embedded(), std::nullopt);

    EXPECT_EQ(CameraExtensionInstaller::versionLabel({true, false, "1.0", "3"}), "1.0 (3)");
    EXPECT_EQ(CameraExtensionInstaller::versionLabel({true, false, "", ""}), "? (?)");
    fs::remove_all(dir);
}

// The system's camera listing, answered only once the test opens the gate, so
// the test decides when the background answer reaches the main queue.
class SystemListing {
  public:
    bool ask() {
        std::unique_lock<std::mutex> hold(mutex_);
        ++asked_;
        changed_.notify_all();
        changed_.wait(hold, [&] { return open_; });
        return listed_;
    }
    void open(bool listed) {
        std::lock_guard<std::mutex> hold(mutex_);
        listed_ = listed;
        open_ = true;
        changed_.notify_all();
    }
    void shut() {
        std::lock_guard<std::mutex> hold(mutex_);
        open_ = false;
    }
    bool waitAsked(int n) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] { return asked_ >= n; });
    }
    int asked() {
        std::lock_guard<std::mutex> hold(mutex_);
        return asked_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int asked_ = 0;
    bool open_ = false;
    bool listed_ = false;
};

class CameraExtension : public vsc::test::IsolatedModelTest {
  protected:
    struct Launch {
        std::string path;
        std::vector<std::string> args;
    };

    void SetUp() override {
        char pattern[] = "/tmp/vsc-extension-XXXXXX";
        dir = mkdtemp(pattern);
        fs::create_directories(dir / CameraExtensionInstaller::kIdentifier);
        std::ofstream(CameraExtensionInstaller::manifestPath(dir.string()))
            << R"({"CFBundleShortVersionString": "1.0", "CFBundleVersion": "4"})";
    }
    void TearDown() override {
        listing.open(false);  // no background look stays blocked
        IsolatedModelTest::TearDown();
        fs::remove_all(dir);
    }

    std::shared_ptr<vsc::AppModel> make() {
        vsc::AppModel::Ports p = ports();
        p.resourcesDir = dir.string();
        p.sink = sink;
        p.extensionService = service;
        p.systemCameraListed = [this] { return listing.ask(); };
        p.launchDetached = [this](const std::string& path, const std::vector<std::string>& args) {
            launches.push_back({path, args});
            return launchFailure;
        };
        p.terminate = [this] { ++terminations; };
        p.applicationPath = kApplication;
        return create(p);
    }

    // The properties request says which extensions the system has.
    void installed(std::vector<vsc::ExtensionProperties> records) {
        service->found(service->last(Kind::Properties), std::move(records));
        main.runPending();
    }
    void finish(Kind kind,
                vsc::ExtensionRequestResult result = vsc::ExtensionRequestResult::Completed) {
        service->finish(service->last(kind), result);
        main.runPending();
    }
    // Lets the background look at the system answer and its answer land.
    void systemAnswers(bool listed) {
        listing.open(listed);
        dispatcher.joinAll();
        main.runPending();
        listing.shut();
    }
    bool logged(const std::string& line) const {
        return std::find(logs.begin(), logs.end(), line) != logs.end();
    }
    // The camera's lines, without the receiver's.
    std::vector<std::string> cameraLines() const {
        std::vector<std::string> lines;
        for (const auto& l : logs)
            if (l.rfind("Camera", 0) == 0 || l.rfind("The app", 0) == 0 ||
                l.rfind("Could not", 0) == 0)
                lines.push_back(l);
        return lines;
    }

    const std::string kApplication = "/opt/vendaroscope/bin/vendaroscope-virtualcam";
    fs::path dir;
    std::shared_ptr<vsc::test::FakeCameraSink> sink = std::make_shared<vsc::test::FakeCameraSink>();
    std::shared_ptr<vsc::test::ScriptedExtensionService> service =
        std::make_shared<vsc::test::ScriptedExtensionService>(main);
    SystemListing listing;
    std::vector<Launch> launches;
    std::optional<std::string> launchFailure;
    int terminations = 0;
};

// Install, update, failure and uninstall as the requests answer them, with the
// camera visible throughout: the requests' results still decide.
TEST_F(CameraExtension, RequestAnswersDecideTheStateAndOnlyChangesArePublished) {
    sink->visible = 40;
    auto model = make();
    ASSERT_EQ(service->requests.size(), 1u);
    EXPECT_EQ(service->requests[0].kind, Kind::Properties);
    EXPECT_EQ(service->requests[0].identifier, "com.vendaroscope.virtualcam.camera");
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionOk{"?"}});

    // The first enabled record that is not being removed is the active one.
    installed({{false, false, "0.9", "1"}, {true, true, "0.9", "2"}, {true, false, "1.0", "3"}});
    EXPECT_TRUE(logged("Camera extension: v1.0 (3) active"));
    EXPECT_EQ(model->extensionState(),
              (CameraExtensionState{vsc::ExtensionOutdated{"1.0 (3)", "1.0 (4)"}}));
    int changes = 0;
    model->observe([&] { ++changes; });
    std::size_t lines = logs.size();
    finish(Kind::Properties);  // the properties request's end says nothing new
    model->checkCamera();      // nor do two camera checks with nothing changed
    model->checkCamera();
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(logs.size(), lines);

    // Update: one publication for the request, none for an equal refresh.
    model->activateExtension();
    model->refreshExtensionState();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(model->extensionState(),
              CameraExtensionState{vsc::ExtensionBusy{"Requesting activation…"}});
    ASSERT_EQ(service->requests.size(), 2u);
    service->askReplacing(service->last(Kind::Activation), {true, false, "1.0", "3"},
                          {true, false, "1.0", "4"});
    main.runPending();
    EXPECT_EQ(service->replacementAnswers,
              std::vector<vsc::ReplacementAction>{vsc::ReplacementAction::Replace});
    EXPECT_TRUE(logged("Camera extension: replacing v1.0 (3) with v1.0 (4)"));
    service->needsApproval(service->last(Kind::Activation));
    main.runPending();
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionAwaitingApproval{}});
    finish(Kind::Activation);
    EXPECT_TRUE(logged("Extension request finished: complete"));
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionOk{"1.0 (4)"}});

    model->activateExtension();
    service->fail(service->last(Kind::Activation),
                  {"Error Domain=vsc.extension Code=4 \"unit failed\"", "unit failed"});
    main.runPending();
    EXPECT_TRUE(
        logged("Extension request failed: Error Domain=vsc.extension Code=4 \"unit "
               "failed\""));
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionFailed{"unit failed"}});
    model->activateExtension();
    finish(Kind::Activation, vsc::ExtensionRequestResult::WillCompleteAfterReboot);
    EXPECT_TRUE(logged("Extension request finished: reboot required"));
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionRebootRequired{}});

    // Uninstall: deferred, then complete while the camera is still listed.
    model->deactivateExtension();
    EXPECT_EQ(model->extensionState(),
              CameraExtensionState{vsc::ExtensionBusy{"Requesting deactivation…"}});
    finish(Kind::Deactivation, vsc::ExtensionRequestResult::WillCompleteAfterReboot);
    EXPECT_EQ(model->extensionState(),
              CameraExtensionState{
                  vsc::ExtensionBusy{"Restart your computer to finish uninstalling the camera"}});
    model->deactivateExtension();
    finish(Kind::Deactivation);
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionNotInstalled{}});
    main.advance(2);
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionNotInstalled{}});
}

// A launch right after a camera-service restart: the camera stays missing, so
// after 8 s the state is "not started" and the system is asked, once per
// stretch; a completed request starts the wait afresh and forgets the restart;
// an answer that comes after the camera showed up is dropped.
TEST_F(CameraExtension, TheSystemIsAskedOncePerStretchOfNotStartedAndALateAnswerIsDropped) {
    prefs.set("cameraServiceRestartedAt", main.now() - std::chrono::seconds(30));
    auto model = make();
    installed({{true, false, "1.0", "4"}});
    main.advance(7.9);
    model->refreshExtensionState();
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionStarting{"1.0 (4)"}});
    main.advance(0.1);  // the check at 8 s
    EXPECT_EQ(model->extensionState(),
              (CameraExtensionState{vsc::ExtensionNotStarted{"1.0 (4)", true}}));
    ASSERT_TRUE(listing.waitAsked(1));
    model->refreshExtensionState();  // while the look runs: not a second one
    main.advance(2);
    EXPECT_EQ(model->cameraVisibleSystemWide(), std::nullopt);
    systemAnswers(false);
    EXPECT_EQ(model->cameraVisibleSystemWide(), std::optional<bool>(false));
    EXPECT_TRUE(
        logged("Camera: the system has not started it — Repair restarts the camera "
               "service"));
    main.advance(4);  // the answer stands
    listing.open(false);
    dispatcher.joinAll();
    EXPECT_EQ(listing.asked(), 1);
    listing.shut();

    model->activateExtension();
    finish(Kind::Activation);
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionStarting{"1.0 (4)"}});
    EXPECT_EQ(model->cameraVisibleSystemWide(), std::nullopt);
    main.advance(10);
    EXPECT_EQ(model->extensionState(),
              (CameraExtensionState{vsc::ExtensionNotStarted{"1.0 (4)", false}}));
    ASSERT_TRUE(listing.waitAsked(2));
    sink->visible = 40;  // the camera shows up before the answer lands
    model->checkCamera();
    EXPECT_EQ(model->extensionState(), CameraExtensionState{vsc::ExtensionOk{"1.0 (4)"}});
    std::size_t lines = logs.size();
    systemAnswers(true);
    EXPECT_EQ(model->cameraVisibleSystemWide(), std::nullopt);
    EXPECT_EQ(logs.size(), lines);
    EXPECT_EQ(listing.asked(), 2);
}

// The repair restarts the camera service unless the system is known to list
// the camera; it reopens the application through the relaunch script, leaving
// the markers the next launch reads.
TEST_F(CameraExtension, RepairRestartsTheServiceOrReopensTheApp) {
    prefs.set("programURL", std::string("rtsp://127.0.0.1:8554/STAGE_1"));
    service->setRestartResult("Failed to restart vendaroscope-camera.service: Access denied");
    auto model = make();
    installed({{true, false, "1.0", "4"}});
    model->startSending();

    model->repairCamera();  // not asked yet: the service restart
    model->repairCamera();  // one at a time
    EXPECT_TRUE(model->restartingCameraService());
    dispatcher.joinAll();
    main.runPending();
    EXPECT_FALSE(model->restartingCameraService());
    EXPECT_EQ(service->restarts(), 1);
    EXPECT_EQ(cameraLines(),
              (std::vector<std::string>{
                  "Camera extension: v1.0 (4) active", "Camera: restarting the camera service…",
                  "Camera: Failed to restart vendaroscope-camera.service: Access "
                  "denied"}));
    EXPECT_TRUE(model->running());
    EXPECT_TRUE(launches.empty());

    // The system lists the camera: only this application lost it.
    main.advance(8);
    systemAnswers(true);
    ASSERT_EQ(model->cameraVisibleSystemWide(), std::optional<bool>(true));
    launchFailure = "No such file or directory";
    main.advance(5);
    const vsc::WallTime repairedAt = main.now();
    logs.clear();
    model->repairCamera();
    EXPECT_EQ(service->restarts(), 1);
    EXPECT_EQ(cameraLines(),
              (std::vector<std::string>{
                  "Camera: visible to the system but not to this app — reopening the app",
                  "The app reopens once the system shows the camera…",
                  "Could not relaunch the app (No such file or directory) — quit and reopen it"}));
    EXPECT_FALSE(model->running());
    EXPECT_EQ(prefs.object("resumeSending"), vsc::PreferenceValue(true));
    EXPECT_EQ(prefs.date("cameraServiceRestartedAt"), repairedAt);
    EXPECT_EQ(terminations, 0);  // it keeps running
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].path, "/bin/sh");
    EXPECT_EQ(launches[0].args, (std::vector<std::string>{
                                    "-c", CameraExtensionInstaller::kRelaunchScript, kApplication,
                                    std::to_string(getpid()), "Vendaroscope Program"}));

    // A restart that works reopens the application and ends this one.
    service->setRestartResult(std::nullopt);
    launchFailure.reset();
    logs.clear();
    model->restartCameraService();
    dispatcher.joinAll();
    main.runPending();
    EXPECT_EQ(cameraLines(),
              (std::vector<std::string>{"Camera: restarting the camera service…",
                                        "Camera service restarted",
                                        "The app reopens once the system shows the camera…"}));
    EXPECT_EQ(launches.size(), 2u);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(prefs.object("resumeSending"), vsc::PreferenceValue(false));  // it was stopped
}

}  // namespace
