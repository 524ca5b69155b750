#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/discovery/pcr_browser.h"
#include "app/model/app_model.h"
#include "support/fakes.h"
#include "support/recording_dispatcher.h"
#include "support/virtual_clock.h"
#include "support/virtual_main_queue.h"

namespace vsc::test {

// An NDI runtime that is nowhere to be found, whatever the machine has installed.
inline NdiRuntime& absentNdiRuntime() {
    static NdiRuntime runtime([](const char*) -> void* { return nullptr; });
    return runtime;
}

// The ports of a model that reaches nothing outside the test: no ffmpeg or
// NDI runtime to find, a video queue the test runs, HTTP answered from a table and studios
// that only the test announces. Tests add their own clock, dispatcher, sink
// or sound on top.
inline AppModel::Ports isolatedPorts(MainQueue& main, Preferences& preferences) {
    AppModel::Ports ports;
    ports.main = &main;
    ports.preferences = &preferences;
    ports.systemFfmpegPaths = {};
    ports.videoQueue = std::make_shared<ManualSerialQueue>();
    ports.http = std::make_shared<FakeHttp>();
    ports.pcrBrowser = std::make_shared<PcrBrowser>(std::make_unique<FakeDnsSdBrowser>());
    ports.ndi = std::make_shared<NDIOutput>(absentNdiRuntime());
    return ports;
}

// A fixture whose models run on the test's main queue, clock and background
// work; the activity log's messages (without their times) land in `logs`.
class IsolatedModelTest : public ::testing::Test {
  protected:
    AppModel::Ports ports() {
        AppModel::Ports p = isolatedPorts(main, prefs);
        p.dispatcher = &dispatcher;
        p.clock = &clock;
        return p;
    }
    std::shared_ptr<AppModel> create(const AppModel::Ports& p) {
        auto model = AppModel::create(p);
        model->onLogLine = [this](const std::string& line) {
            logs.push_back(line.substr(line.find("  ") + 2));
        };
        return model;
    }
    void TearDown() override {
        clock.finish();
        dispatcher.fireDelayed();
        dispatcher.joinAll();
    }
    VirtualMainQueue main;
    VirtualClock clock;
    RecordingDispatcher dispatcher;
    MemoryPreferences prefs;
    std::vector<std::string> logs;
};

}  // namespace vsc::test
