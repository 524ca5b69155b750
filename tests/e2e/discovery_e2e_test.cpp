// Programme detection against the test studio's path-list API, with the real
// HTTP client, and against a port where nothing listens.
#include <gtest/gtest.h>

#include "app/model/app_model.h"
#include "support/fakes.h"
#include "support/test_studio.h"
#include "support/virtual_main_queue.h"
#include "support/wait.h"

using namespace std::chrono_literals;
using vsc::test::eventually;

namespace {

TEST(DetectionWithStudio, FindsTheStudiosProgrammeAndReportsAClosedPort) {
    // The media server's API answers on its standard port, 9997.
    vsc::test::TestStudio studio(1280, 720, 0, 9997);
    vsc::test::VirtualMainQueue main;
    vsc::MemoryPreferences prefs;
    vsc::AppModel::Ports ports;
    ports.main = &main;
    ports.preferences = &prefs;
    ports.systemFfmpegPaths = {};
    ports.videoQueue = std::make_shared<vsc::test::ManualSerialQueue>();
    auto model = vsc::AppModel::create(ports);
    auto settled = [&] {
        main.runPending();
        return model->detectStatus() != "Detecting…";
    };

    model->detectProgramURL();  // pcrHost defaults to 127.0.0.1
    ASSERT_TRUE(eventually(settled, 15s));
    EXPECT_EQ(model->detectStatus(), "Found 3 programs — using STAGE_1");
    EXPECT_EQ(model->url(), "rtsp://127.0.0.1:8554/STAGE_1");

    studio.control("drop?path=STAGE_1");  // listed, but not ready
    model->detectProgramURL();
    ASSERT_TRUE(eventually(settled, 15s));
    EXPECT_EQ(model->detectStatus(), "Found 2 programs — using STAGE_2");

    model->setPcrHost("127.0.0.2");  // nothing listens there
    auto asked = std::chrono::steady_clock::now();
    model->detectProgramURL();
    ASSERT_TRUE(eventually(settled, 15s));
    EXPECT_EQ(model->detectStatus(),
              "MediaMTX API unreachable on 127.0.0.2:9997 — enter the URL manually");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 11s);  // within the client's time-out
}

}  // namespace
