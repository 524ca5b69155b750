#include "app/model/app_model.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/model/settings_keys.h"
#include "support/fakes.h"
#include "support/model_ports.h"
#include "support/recording_dispatcher.h"
#include "support/virtual_clock.h"
#include "support/virtual_main_queue.h"
#include "support/wait.h"

namespace fs = std::filesystem;
using vsc::test::eventually;

namespace {

const std::string kUrl = "rtsp://127.0.0.1:8554/STAGE_1";

class ModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vsc-model-XXXXXX";
        dir_ = mkdtemp(pattern);
        fs::create_symlink(STAND_IN_FFMPEG, dir_ / "ffmpeg");
        fs::create_symlink(STAND_IN_FFMPEG, dir_ / "ffprobe");
        std::ofstream(dir_ / "hold") << "";
    }

    void TearDown() override {
        if (model_) model_->receiver()->stop();
        clock_.finish();
        std::ofstream(dir_ / "release") << "";
        dispatcher_.fireDelayed();
        dispatcher_.joinAll();
        model_.reset();
        fs::remove_all(dir_);
    }

    vsc::AppModel& make() {
        vsc::AppModel::Ports ports = vsc::test::isolatedPorts(main_, prefs_);
        ports.dispatcher = &dispatcher_;
        ports.clock = &clock_;
        ports.resourcesDir = dir_.string();
        ports.videoQueue = videoQueue_;
        ports.sink = sink_;
        ports.http = http_;
        ports.previewRenderer = [this](const vsc::PixelBuffer&) {
            ++previewsRendered_;
            return std::optional<vsc::PreviewImage>(vsc::PreviewImage{});
        };
        model_ = vsc::AppModel::create(ports);
        model_->onLogLine = [this](const std::string& line) {
            messages_.push_back(line.substr(line.find("  ") + 2));
        };
        return *model_;
    }

    void frames(int n) {
        std::vector<std::uint8_t> frame(16, 0);
        for (int i = 0; i < n; ++i) {
            frame[0] = static_cast<std::uint8_t>(i);
            model_->videoPath(frame);
        }
    }

    bool logged(const std::string& m) {
        return std::find(messages_.begin(), messages_.end(), m) != messages_.end();
    }

    fs::path dir_;
    vsc::test::VirtualMainQueue main_;
    vsc::test::VirtualClock clock_;
    vsc::test::RecordingDispatcher dispatcher_;
    vsc::MemoryPreferences prefs_;
    std::shared_ptr<vsc::test::FakeCameraSink> sink_ =
        std::make_shared<vsc::test::FakeCameraSink>();
    std::shared_ptr<vsc::test::ManualSerialQueue> videoQueue_ =
        std::make_shared<vsc::test::ManualSerialQueue>();
    std::shared_ptr<vsc::test::FakeHttp> http_ = std::make_shared<vsc::test::FakeHttp>();
    std::shared_ptr<vsc::AppModel> model_;
    std::vector<std::string> messages_;
    int previewsRendered_ = 0;
};

TEST(ProgramUrl, OnlyRtspUrlsEndingInAStageAreComplete) {
    struct Case {
        const char* text;
        bool complete;
    } cases[] = {
        {"rtsp://10.0.0.5:8554/STAGE_12", true},
        {"rtsp://10.0.0.5/STAGE_1", true},
        {"rtsp://studio.local:8554/live/STAGE_A/", true},
        {"rtsp://[fe80::1]:8554/STAGE_3", true},
        {"rtsp://h/a/STAGE_1?x=1#top", true},
        {"rtsp://fe80::1:8554/STAGE_3", false},  // an IPv6 host needs its brackets
        {"rtsp://10.0.0.5:8554/STAGE_", false},
        {"RTSP://10.0.0.5:8554/STAGE_12", false},
        {"http://10.0.0.5:8554/STAGE_12", false},
        {"rtsp://10.0.0.5:8554/live", false},
        {"rtsp:///STAGE_1", false},
        {"rtsp:///h/STAGE_1", false},
        {"rtsp:/h/STAGE_1", false},
        {"rtsp:STAGE_1", false},
        {"Rtsp://10.0.0.5:8554/STAGE_12", false},
        {"rtsp://10.0.0.5:85a4/STAGE_1", false},
        {"rtsp://10.0.0.5:8554/STAGE 1", false},
        {" rtsp://10.0.0.5:8554/STAGE_1", false},
        {"rtsp://10.0.0.5:8554/STAGE_1\n", false},
        {"rtsp://10.0.0.5:8554/STAGE_1\tx", false},
        {"rtsp://10.0.0.5\xC2\x85:8554/STAGE_1", false},      // NEL, a line break
        {"rtsp://10.0.0.5:8554/STAGE_1\xE2\x80\xA8", false},  // LS, a line break
        {"", false},
        {"STAGE_1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vsc::AppModel::isCompleteProgramURL(c.text), c.complete) << c.text;
}

TEST_F(ModelTest, AnEmptyStoreGivesEveryDefault) {
    auto& m = make();
    EXPECT_EQ(m.url(), "");
    EXPECT_EQ(m.pcrHost(), "127.0.0.1");
    EXPECT_EQ(m.audioDelayMs(), 0);
    EXPECT_EQ(m.audioGainDb(), 0);
    EXPECT_EQ(m.videoDelayMs(), 0);
    EXPECT_FALSE(m.ndiEnabled());
    EXPECT_EQ(m.ndiName(), "Vendaroscope Program");
    EXPECT_FALSE(m.setupCompleted());
    EXPECT_FALSE(m.showInDock());
    EXPECT_TRUE(m.resumeAtLogin());
    EXPECT_EQ(m.sinkStatus(), "Disconnected");
    EXPECT_EQ(m.ndiStatus(), "Off");
    EXPECT_EQ(m.audioLevelDb(), -60);
    EXPECT_EQ(main_.timerCount(), 3u);  // meter, statistics, camera
}

TEST_F(ModelTest, StoredValuesAreReadWithTheirRules) {
    prefs_.set("programURL", std::string("rtsp://h/STAGE_2"));
    prefs_.set("pcrHost", 42.0);  // not a string: default
    prefs_.set("videoDelayMs", 120.7);
    prefs_.set("ndiEnabled", true);
    prefs_.set("ndiName", std::string("VSC Program"));
    prefs_.set("resumeAtLogin", std::string("false"));  // not a Bool: resume
    prefs_.set("showInDock", 1.0);
    auto& m = make();
    EXPECT_EQ(m.url(), "rtsp://h/STAGE_2");
    EXPECT_EQ(m.pcrHost(), "127.0.0.1");
    EXPECT_EQ(m.videoDelayMs(), 120.7);
    // NDI was on: it is started at once, and without a runtime it is off again.
    EXPECT_FALSE(m.ndiEnabled());
    EXPECT_EQ(prefs_.object("ndiEnabled"), vsc::PreferenceValue(false));
    ASSERT_FALSE(m.logLines().empty());
    EXPECT_NE(m.logLines()[0].find("  NDI: NDI runtime not found (libndi.so.6)"),
              std::string::npos);
    EXPECT_EQ(m.ndiName(), "Vendaroscope Program");
    EXPECT_TRUE(m.resumeAtLogin());
    EXPECT_TRUE(m.showInDock());
}

TEST_F(ModelTest, AnEmptyStoredNdiNameIsKept) {
    prefs_.set("ndiName", std::string(""));
    EXPECT_EQ(make().ndiName(), "");
}

TEST_F(ModelTest, SettersPublishAndStore) {
    auto& m = make();
    int changes = 0;
    m.observe([&] { ++changes; });
    m.setUrl("rtsp://x/STAGE_9");
    m.setPcrHost("10.1.1.1");
    m.setVideoDelayMs(40);
    m.setResumeAtLogin(false);
    m.setNdiName("Desk");
    EXPECT_EQ(changes, 5);
    EXPECT_EQ(prefs_.string("programURL"), "rtsp://x/STAGE_9");
    EXPECT_EQ(prefs_.string("pcrHost"), "10.1.1.1");
    EXPECT_EQ(prefs_.doubleValue("videoDelayMs"), 40);
    EXPECT_EQ(prefs_.object("resumeAtLogin"), vsc::PreferenceValue(false));
    EXPECT_EQ(prefs_.string("ndiName"), "Desk");
}

TEST_F(ModelTest, IncompleteUrlLogsAndStartsNothing) {
    auto& m = make();
    for (const char* u : {"rtsp://10.0.0.5:8554/STAGE_", "RTSP://10.0.0.5:8554/STAGE_1"}) {
        m.setUrl(u);
        m.startSending();
        EXPECT_FALSE(m.running());
        EXPECT_FALSE(m.startStopLocked());
    }
    EXPECT_EQ(
        std::count(messages_.begin(), messages_.end(),
                   "Incomplete program URL — expected rtsp://<pcr>:8554/STAGE_<id> (use Detect)"),
        2);
    EXPECT_EQ(sink_->connects, 0);
    EXPECT_FALSE(prefs_.object("resumeSending"));
}

TEST_F(ModelTest, StartTrimsSpacesAndTabsAndStoresTheResumeMarker) {
    auto& m = make();
    m.setUrl(" \t" + kUrl + "\t ");
    m.startSending();
    EXPECT_TRUE(m.running());
    EXPECT_EQ(m.url(), " \t" + kUrl + "\t ");  // the field itself is not rewritten
    EXPECT_EQ(m.sinkStatus(), "Connected to “Vendaroscope Program”");
    EXPECT_EQ(prefs_.object("resumeSending"), vsc::PreferenceValue(true));
    // The probe is handed the trimmed text as its last argument.
    std::string line;
    ASSERT_TRUE(eventually([&] {
        std::ifstream calls(dir_ / "calls_ffprobe");
        return std::getline(calls, line) && line.size() > kUrl.size();
    }));
    EXPECT_EQ(line.substr(line.size() - kUrl.size() - 1), " " + kUrl);
}

TEST_F(ModelTest, SinkFailureIsShownAndLoggedOnlyWhenNew) {
    sink_->connectResult = "Camera “Vendaroscope Program” not found";
    auto& m = make();
    m.setUrl(kUrl);
    m.startSending();
    m.stopSending();
    m.startSending();
    EXPECT_TRUE(m.running());
    EXPECT_EQ(m.sinkStatus(), "Camera “Vendaroscope Program” not found");
    // Stop puts "Disconnected" back, so the second failure is new again.
    EXPECT_EQ(
        std::count(messages_.begin(), messages_.end(), "Camera “Vendaroscope Program” not found"),
        2);
}

// Every 2 s the model looks for the camera and keeps the sink on it while
// sending: it waits while the camera is gone, follows it to a new device, and
// reports a stream the camera never takes without flickering or repeating
// itself in the log.
TEST_F(ModelTest, TheCameraCheckKeepsTheSinkOnTheCamera) {
    const std::string connected = "Connected to “Vendaroscope Program”";
    const std::string notTaken = "CMIODeviceStartStream failed (-110).";
    sink_->visible = 40;
    auto& m = make();
    ASSERT_EQ(m.logLines().size(), 1u);  // the check at start-up
    EXPECT_NE(m.logLines()[0].find("  Camera “Vendaroscope Program” visible to apps"),
              std::string::npos);
    EXPECT_EQ(sink_->connects, 0);  // nothing to do while not sending
    m.setUrl(kUrl);
    m.startSending();
    EXPECT_EQ(m.sinkStatus(), connected);
    main_.advance(2);
    EXPECT_EQ(sink_->connects, 1);  // the same device: left alone

    sink_->visible.reset();
    main_.advance(2);
    EXPECT_FALSE(sink_->connected);
    EXPECT_EQ(m.sinkStatus(), "Waiting for the camera “Vendaroscope Program”…");
    EXPECT_TRUE(logged("Camera “Vendaroscope Program” no longer visible to apps"));
    sink_->visible = 52;  // back, under a new id
    main_.advance(2);
    EXPECT_TRUE(sink_->isConnectedTo(52));
    EXPECT_EQ(m.sinkStatus(), connected);

    // A started stream the camera does not take.
    sink_->taken = false;
    sink_->problem = notTaken;
    main_.advance(2);
    EXPECT_EQ(m.sinkStatus(), notTaken);
    for (int i = 0; i < 4; ++i) {
        main_.advance(2);  // retried every other check; the status stays
        EXPECT_EQ(m.sinkStatus(), notTaken);
    }
    EXPECT_EQ(std::count(messages_.begin(), messages_.end(), notTaken), 1);
    sink_->taken = true;
    sink_->problem.reset();
    main_.advance(2);
    EXPECT_EQ(m.sinkStatus(), connected);
}

TEST_F(ModelTest, OverlappingStartStopLocksClearOneAndAHalfSecondsAfterTheLast) {
    auto& m = make();
    m.setUrl(kUrl);
    m.startSending();
    EXPECT_TRUE(m.startStopLocked());
    main_.advance(1.0);
    m.toggleSendingFromPanel();  // stop, 1.0 s after the start
    EXPECT_FALSE(m.running());
    EXPECT_EQ(prefs_.object("resumeSending"), vsc::PreferenceValue(false));
    main_.advance(0.6);  // 1.6 s after the start, 0.6 s after the stop
    EXPECT_TRUE(m.startStopLocked());
    main_.advance(0.8);
    EXPECT_TRUE(m.startStopLocked());
    main_.advance(0.11);
    EXPECT_FALSE(m.startStopLocked());
}

TEST_F(ModelTest, ProgrammeIsLostOnTheThirdSilentTickAndBackOnTheFirstWithFrames) {
    auto& m = make();
    frames(10);
    main_.advance(0.5);
    EXPECT_EQ(m.inputFps(), 20);
    EXPECT_FALSE(m.receivingProgram());  // not sending: never changes
    m.setUrl(kUrl);
    m.startSending();
    frames(15);
    main_.advance(0.5);
    EXPECT_EQ(m.inputFps(), 30);
    EXPECT_TRUE(m.receivingProgram());
    EXPECT_TRUE(m.hadProgramSinceStart());
    main_.advance(0.5);
    main_.advance(0.5);
    EXPECT_TRUE(m.receivingProgram());
    EXPECT_EQ(m.silentTicks(), 2);
    main_.advance(0.5);
    EXPECT_FALSE(m.receivingProgram());
    frames(1);
    main_.advance(0.5);
    EXPECT_EQ(m.inputFps(), 2);
    EXPECT_TRUE(m.receivingProgram());
    EXPECT_EQ(m.silentTicks(), 0);
}

TEST_F(ModelTest, ReceiverStateMirrorsIntoTheModel) {
    auto& m = make();
    m.setUrl(kUrl);
    m.startSending();
    ASSERT_TRUE(eventually([&] {
        main_.runPending();
        return m.ffmpegRunning();
    }));
    frames(3);
    main_.advance(0.5);
    EXPECT_TRUE(m.receivingProgram());
    m.receiver()->stop();  // the child goes: not running, not receiving
    main_.runPending();
    EXPECT_FALSE(m.ffmpegRunning());
    EXPECT_FALSE(m.receivingProgram());
    EXPECT_TRUE(logged("program tracks: video + audio"));
}

TEST_F(ModelTest, SubMillisecondDelaySendsAtOnceLongerDelaysGoThroughTheQueueInOrder) {
    auto& m = make();
    m.setUrl(kUrl);
    m.startSending();
    m.setVideoDelayMs(0.9);
    frames(2);
    auto sent = sink_->sentFrames();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(videoQueue_->delays.empty());

    m.setVideoDelayMs(1);
    frames(3);
    EXPECT_EQ(sink_->sentFrames().size(), 2u);  // held until their deadline
    EXPECT_EQ(videoQueue_->delays, (std::vector<double>{0.001, 0.001, 0.001}));
    videoQueue_->runAll();
    sent = sink_->sentFrames();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[2].firstByte, 0);
    EXPECT_EQ(sent[3].firstByte, 1);
    EXPECT_EQ(sent[4].firstByte, 2);
}

TEST_F(ModelTest, FramesWhileTheSinkIsDisconnectedAreOnlyCounted) {
    auto& m = make();
    frames(4);
    main_.advance(0.5);
    EXPECT_EQ(m.inputFps(), 8);
    EXPECT_TRUE(sink_->sentFrames().empty());
    EXPECT_EQ(previewsRendered_, 0);
}

TEST_F(ModelTest, PreviewOnlyWhileWantedAndAtMostEveryQuarterSecond) {
    auto& m = make();
    m.setUrl(kUrl);
    m.startSending();
    frames(3);
    EXPECT_EQ(previewsRendered_, 0);
    m.previewWanted.store(1);
    frames(3);
    EXPECT_EQ(previewsRendered_, 1);
    main_.advance(0.249);
    frames(1);
    EXPECT_EQ(previewsRendered_, 1);
    main_.advance(0.001);
    frames(1);
    EXPECT_EQ(previewsRendered_, 2);
    EXPECT_TRUE(m.preview().has_value());
    m.stopSending();
    EXPECT_FALSE(m.preview().has_value());
}

TEST_F(ModelTest, StopDisconnectsAndLeavesResumeAlone) {
    auto& m = make();
    m.setUrl(kUrl);
    m.startSending();
    m.stopSending();
    EXPECT_FALSE(m.running());
    EXPECT_EQ(m.sinkStatus(), "Disconnected");
    EXPECT_EQ(sink_->disconnects, 1);
    EXPECT_EQ(prefs_.object("resumeSending"), vsc::PreferenceValue(true));
}

TEST_F(ModelTest, QuitWhileSendingClearsResumeButTerminationDoesNot) {
    auto& m = make();
    m.setUrl(kUrl);
    m.startSending();
    m.applicationWillTerminate();
    EXPECT_EQ(prefs_.object("resumeSending"), vsc::PreferenceValue(true));
    bool terminated = false;
    m.quitFromMenu([&] { terminated = true; });
    EXPECT_TRUE(terminated);
    EXPECT_FALSE(m.running());
    EXPECT_EQ(prefs_.object("resumeSending"), vsc::PreferenceValue(false));
}

struct ResumeCase {
    const char* name;
    std::optional<bool> resumeSending;
    std::optional<bool> resumeAtLogin;
    std::optional<double> markerAge;  // seconds before construction
    std::string url;
    const char* expectedLine;  // nullptr: no resume
};

// gtest shows a case by its name, not its bytes.
void PrintTo(const ResumeCase& c, std::ostream* out) {
    *out << c.name;
}

class ResumeRule : public ModelTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(ResumeRule, ResumesExactlyWhenItShould) {
    const auto& c = GetParam();
    if (c.resumeSending) prefs_.set("resumeSending", *c.resumeSending);
    if (c.resumeAtLogin) prefs_.set("resumeAtLogin", *c.resumeAtLogin);
    if (c.markerAge)
        prefs_.set("cameraServiceRestartedAt",
                   main_.now() - std::chrono::duration_cast<vsc::WallTime::duration>(
                                     vsc::Seconds(*c.markerAge)));
    prefs_.set("programURL", c.url);
    auto& m = make();
    EXPECT_FALSE(prefs_.object("cameraServiceRestartedAt").has_value());  // always removed
    m.startServices();
    m.startServices();  // the second call does nothing
    EXPECT_TRUE(m.discoveryStarted());
    if (c.expectedLine) {
        EXPECT_TRUE(m.running());
        EXPECT_EQ(messages_, std::vector<std::string>{c.expectedLine});
    } else {
        EXPECT_FALSE(m.running());
        EXPECT_TRUE(messages_.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Branches, ResumeRule,
    ::testing::Values(
        ResumeCase{"OnAtClose", true, std::nullopt, std::nullopt, kUrl,
                   "Resuming sending (it was on when the app closed)"},
        ResumeCase{"StoppedByUser", false, std::nullopt, std::nullopt, kUrl, nullptr},
        ResumeCase{"NeverStored", std::nullopt, true, std::nullopt, kUrl, nullptr},
        ResumeCase{"LoginResumeOff", true, false, std::nullopt, kUrl, nullptr},
        ResumeCase{"RepairRelaunch119s", true, false, 119.0, kUrl,
                   "Resuming after the camera repair"},
        ResumeCase{"RepairMarker121s", true, false, 121.0, kUrl, nullptr},
        ResumeCase{"RepairWithLoginOn", true, true, 10.0, kUrl, "Resuming after the camera repair"},
        ResumeCase{"IncompleteUrl", true, true, std::nullopt, "rtsp://h:8554/live", nullptr},
        ResumeCase{"UrlWithATabBeforeAndASpaceAfter", true, std::nullopt, std::nullopt,
                   "\t" + kUrl + " ", "Resuming sending (it was on when the app closed)"},
        // A marker dated ahead (the clock was set back) is no recent repair.
        ResumeCase{"RepairMarkerInTheFuture", true, false, -30.0, kUrl, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModelTest, ACameraRepairMarkerOfAnotherTypeStaysAndIsIgnored) {
    prefs_.set("cameraServiceRestartedAt", std::string("yesterday"));
    auto& m = make();
    EXPECT_FALSE(m.reopenedForCamera());
    EXPECT_EQ(prefs_.string("cameraServiceRestartedAt"), "yesterday");
}

TEST_F(ModelTest, ACorruptPreferencesFileLeavesTheModelOnDefaults) {
    fs::path file = dir_ / "config" / "preferences.json";
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "{\"programURL\": \"rtsp://h/STAGE_1\", oops";
    vsc::JsonFilePreferences store(file.string());
    EXPECT_FALSE(store.loadProblem().empty());
    vsc::AppModel::Ports ports = vsc::test::isolatedPorts(main_, store);
    ports.dispatcher = &dispatcher_;
    ports.clock = &clock_;
    ports.videoQueue = videoQueue_;
    auto model = vsc::AppModel::create(ports);
    EXPECT_EQ(model->url(), "");
    EXPECT_TRUE(model->resumeAtLogin());
    int kept = 0;
    for (const auto& e : fs::directory_iterator(file.parent_path())) {
        if (e.path().filename().string().rfind("preferences.json.", 0) == 0) {
            std::ifstream in(e.path());
            std::string text((std::istreambuf_iterator<char>(in)), {});
            EXPECT_EQ(text, "{\"programURL\": \"rtsp://h/STAGE_1\", oops");
            ++kept;
        }
    }
    EXPECT_EQ(kept, 1);
    model->setUrl(kUrl);
    store.flush();
    EXPECT_EQ(vsc::JsonFilePreferences(file.string()).string("programURL"), kUrl);
}

}  // namespace
