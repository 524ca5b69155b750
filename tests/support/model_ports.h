#pragma once

#include <memory>

#include "app/discovery/pcr_browser.h"
#include "app/model/app_model.h"
#include "support/fakes.h"

namespace vsc::test {

// The ports of a model that reaches nothing outside the test: no ffmpeg to
// find, a video queue the test runs, HTTP answered from a table and studios
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
    return ports;
}

}  // namespace vsc::test
