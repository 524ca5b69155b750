// Programme health on the virtual clock: when the user is told that the
// programme is lost and back, and which set-up problems are told.
#include "app/model/program_health.h"

#include <gtest/gtest.h>

#include "app/model/app_model.h"
#include "support/model_ports.h"

namespace {

const std::string kUrl = "rtsp://127.0.0.1:8554/STAGE_1";
const std::string kLostBody = "For 10 s, participants have seen “Waiting for program…”. ";

class ProgrammeHealth : public vsc::test::IsolatedModelTest {
  protected:
    std::shared_ptr<vsc::AppModel> make() {
        vsc::AppModel::Ports p = ports();
        notifications->now = [this] { return main.elapsed(); };
        p.notifications = notifications;
        model = create(p);
        return model;
    }
    // Runs statistics ticks for that long, with pictures arriving or not.
    void run(double seconds, bool pictures) {
        std::vector<std::uint8_t> frame(16, 0);
        for (int tick = 0; tick < static_cast<int>(seconds * 2 + 0.5); ++tick) {
            if (pictures) model->videoPath(frame);
            main.advance(0.5);
        }
    }
    std::size_t posts() const { return notifications->posted.size(); }
    const vsc::Notification& last() const { return notifications->posted.back().notification; }

    std::shared_ptr<vsc::test::FakeNotifications> notifications =
        std::make_shared<vsc::test::FakeNotifications>();
    std::shared_ptr<vsc::AppModel> model;
};

TEST_F(ProgrammeHealth, ALossIsToldAfterTenSecondsAndItsEndOnce) {
    make();
    model->setUrl(kUrl);
    model->startSending();
    // Nothing has arrived since the start: not on air yet, never lost.
    run(15, false);
    EXPECT_EQ(posts(), 0u);
    EXPECT_FALSE(model->programLostSince());

    run(1, true);
    // 9.5 s without pictures: lost after three silent ticks, never told.
    run(9.5, false);
    EXPECT_TRUE(model->programLostSince());
    run(0.5, true);
    EXPECT_FALSE(model->programLostSince());
    EXPECT_EQ(posts(), 0u);

    // 12 s without pictures: told 10 s after the loss began (1.5 s after the
    // last picture), and told of its end on the first tick with pictures.
    const double lastPictures = main.elapsed();
    run(12, false);
    ASSERT_EQ(posts(), 1u);
    EXPECT_EQ(notifications->posted[0].at, lastPictures + 11.5);
    EXPECT_EQ(last(), (vsc::Notification{"program-lost", "Program lost",
                                         kLostBody + "Reconnecting to the studio…",
                                         "vendaroscope-virtual-webcam", true}));
    run(0.5, true);
    ASSERT_EQ(posts(), 2u);
    EXPECT_EQ(notifications->posted[1].at, lastPictures + 12.5);
    EXPECT_EQ(last(),
              (vsc::Notification{"program-back", "Program is back", "Sending the studio again.",
                                 "vendaroscope-virtual-webcam", true}));
    run(5, true);
    EXPECT_EQ(posts(), 2u);

    // Stopping during a told loss ends it without a "back", also after a new start.
    run(12, false);
    ASSERT_EQ(posts(), 3u);
    model->stopSending();
    run(1, false);
    EXPECT_FALSE(model->programLostSince());
    model->startSending();
    run(2, true);
    EXPECT_EQ(notifications->identifiers(),
              (std::vector<std::string>{"program-lost", "program-back", "program-lost"}));
}

TEST_F(ProgrammeHealth, TheStudioIsNamedAndAStudioOffTheAirIsNeverLost) {
    make();
    vsc::PcrEntry studio;
    studio.serviceName = "pcr-7";
    studio.code = "S7";
    studio.serverId = "7";
    studio.stage = "STAGE_1";
    studio.host = "127.0.0.1";
    model->applyPcrList({studio});  // the only one: chosen
    ASSERT_EQ(model->url(), kUrl);
    model->startSending();
    run(1, true);
    run(12, false);
    run(0.5, true);
    ASSERT_EQ(posts(), 2u);  // a studio without a name goes by its service name
    EXPECT_EQ(notifications->posted[0].notification.body, kLostBody + "Reconnecting to pcr-7…");
    EXPECT_EQ(last().body, "Sending pcr-7 again.");

    studio.name = "Studio Seven";
    model->applyPcrList({studio});
    run(12, false);
    ASSERT_EQ(posts(), 3u);
    EXPECT_EQ(last().body, kLostBody + "Reconnecting to Studio Seven…");
    run(0.5, true);

    // The studio takes its stage off the air: the panel says so; no loss is counted.
    studio.stage.clear();
    model->applyPcrList({studio});
    run(20, false);
    EXPECT_EQ(posts(), 4u);
    EXPECT_FALSE(model->programLostSince());
}

TEST(SetupProblems, EachProblemStateHasItsNotification) {
    using vsc::SetupProblem;
    const SetupProblem update{"camera-update", "Finish the camera update",
                              "Open the menu bar panel and click Update camera."};
    const SetupProblem restart{
        "camera-repair", "Restart your computer",
        "The camera service still hasn't started the “Vendaroscope Program” camera."};
    const SetupProblem repair{"camera-repair", "Camera needs a repair",
                              "Video apps can't see “Vendaroscope Program”. Open the menu bar "
                              "panel and click Repair camera."};
    const SetupProblem microphone{"microphone-repair", "Microphone needs a repair",
                                  "Video apps get the picture but no sound. Open the menu bar "
                                  "panel and click Repair microphone."};
    struct Case {
        vsc::CameraExtensionState camera;
        vsc::AudioDriverState driver;
        std::vector<SetupProblem> expected;
    } cases[] = {
        {vsc::ExtensionOutdated{"1", "2"}, vsc::DriverOk{"1"}, {update}},
        {vsc::ExtensionNotStarted{"1", true}, vsc::DriverUnavailable{}, {restart}},
        {vsc::ExtensionNotStarted{"1", false}, vsc::DriverNotLoaded{"1"}, {repair, microphone}},
        {vsc::ExtensionOk{"1"}, vsc::DriverOutdated{"1", "2"}, {microphone}},
        {vsc::ExtensionStarting{"1"}, vsc::DriverMissing{}, {microphone}},
        {vsc::ExtensionChecking{}, vsc::DriverUnavailable{}, {}},
        {vsc::ExtensionFailed{"x"}, vsc::DriverOk{"1"}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vsc::setupProblems(c.camera, c.driver), c.expected) << c.camera.index();
}

}  // namespace
