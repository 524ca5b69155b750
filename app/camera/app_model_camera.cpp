// The model's camera: connecting the sink, the camera check that keeps it
// connected to the right device while sending, and the camera repair.
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "app/camera/camera_extension_installer.h"
#include "app/camera/camera_sink.h"
#include "app/model/app_model.h"
#include "app/model/platform_texts.h"
#include "app/model/settings_keys.h"
#include "platform/process.h"

namespace vsc {
namespace {

const std::string kConnected = "Connected to “Vendaroscope Program”";
const std::string kWaitingForCamera = "Waiting for the camera “Vendaroscope Program”…";
const std::string kCameraName = "Vendaroscope Program";

// The relaunch outlives this process: it keeps the terminal's streams (if
// any) and is never waited for.
std::optional<std::string> launchInheritingStreams(const std::string& path,
                                                   const std::vector<std::string>& args) {
    SpawnRequest request;
    request.path = path;
    request.args = args;
    for (int fd = 0; fd <= 2; ++fd)
        request.descriptors.push_back({fd, ChildDescriptor::Kind::Inherit, fd});
    SpawnResult result = spawnProcess(request);
    if (result.pid > 0) return std::nullopt;
    return std::string(std::strerror(result.error));
}

std::string currentExecutable() {
    std::error_code failure;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", failure).string();
    if (failure) return {};
    // Updated while running: the new program at the same path is the one to start.
    const std::string replaced = " (deleted)";
    if (path.size() > replaced.size() && path.ends_with(replaced))
        path.resize(path.size() - replaced.size());
    return path;
}

}  // namespace

void AppModel::connectSink() {
    if (!sink_) return;
    auto failure = sink_->connect();
    if (failure) {
        if (*failure != sinkStatus.value_) log(*failure);
        publish(sinkStatus, *failure);
        return;
    }
    updateSinkStatus();
}

// A started stream is taken by the camera a moment later, or not at all: the
// status says "connected" once it is, and the reason once it cannot be.
// While it is on its way the status stays as it was, so a retry after a
// failure does not flicker.
void AppModel::updateSinkStatus() {
    if (!sink_ || !sink_->isConnected()) return;
    if (auto problem = sink_->streamProblem()) {
        sink_->disconnect();
        if (*problem != sinkStatus.value_) log(*problem);
        publish(sinkStatus, *problem);
        return;
    }
    if (sink_->ready() && sinkStatus.value_ != kConnected) publish(sinkStatus, kConnected);
}

void AppModel::checkCamera() {
    if (!sink_) return;
    std::optional<CameraObjectId> id = sink_->findCameraDevice();
    bool visible = id.has_value();
    if (visible != cameraVisible_) {
        cameraVisible_ = visible;
        if (visible) {
            log("Camera “" + sink_->objectName(*id).value_or("Vendaroscope Program") +
                "” visible to apps");
        } else {
            log("Camera “Vendaroscope Program” no longer visible to apps");
        }
    }
    if (!visible) {
        if (!cameraMissingSince_) cameraMissingSince_ = ports_.main->now();
    } else {
        cameraMissingSince_.reset();
    }
    if (running.value_) {
        if (!visible) {
            if (sink_->isConnected()) {
                sink_->disconnect();
                publish(sinkStatus, kWaitingForCamera);
            }
        } else if (!sink_->isConnectedTo(*id)) {
            // Retries a failed connection, and follows the camera to a new
            // device (a restarted camera program or audio server).
            sink_->disconnect();
            connectSink();
        } else {
            updateSinkStatus();
        }
    }
    refreshExtensionState();
}

void AppModel::checkSystemCamera() {
    std::weak_ptr<AppModel> weak = weak_from_this();
    MainQueue* main = ports_.main;
    ports_.dispatcher->async([weak, main, listed = ports_.systemCameraListed] {
        bool answer = listed ? listed() : false;
        main->post([weak, answer] {
            if (auto self = weak.lock()) self->applySystemCameraAnswer(answer);
        });
    });
}

void AppModel::applySystemCameraAnswer(bool listed) {
    checkingSystemCamera_ = false;
    // An answer about a state the camera has left since would mislead the repair.
    if (!std::holds_alternative<ExtensionNotStarted>(extensionState.value_)) return;
    publish(cameraVisibleSystemWide, std::optional<bool>(listed));
    log(listed ? texts::kCameraOnlyThisAppLostIt : texts::kCameraNotStartedBySystem);
}

void AppModel::repairCamera() {
    if (cameraVisibleSystemWide.value_ == std::optional<bool>(true)) {
        log(texts::kCameraVisibleToSystemOnly);
        relaunchApp();
        return;
    }
    restartCameraService();
}

void AppModel::restartCameraService() {
    if (restartingCameraService.value_ || !ports_.extensionService) return;
    publish(restartingCameraService, true);
    log(texts::kRestartingCameraService);
    std::weak_ptr<AppModel> weak = weak_from_this();
    MainQueue* main = ports_.main;
    ports_.dispatcher->async([weak, main, service = ports_.extensionService] {
        std::optional<std::string> failure = service->restartCameraService();
        main->post([weak, failure] {
            auto self = weak.lock();
            if (!self) return;
            self->publish(self->restartingCameraService, false);
            if (failure) {
                self->log("Camera: " + *failure);
                return;
            }
            self->log("Camera service restarted");
            self->relaunchApp();
        });
    });
}

void AppModel::relaunchApp() {
    log(texts::kReopensOnceCameraShown);
    const bool wasRunning = running.value_;
    stopSending();
    Preferences& prefs = *ports_.preferences;
    prefs.set(keys::kResumeSending, wasRunning);
    prefs.set(keys::kCameraServiceRestartedAt, ports_.main->now());
    // The new process reads both as it starts, so they must be on disk
    // before it can.
    prefs.flush();
    auto launch = ports_.launchDetached ? ports_.launchDetached : launchInheritingStreams;
    std::string application =
        ports_.applicationPath.empty() ? currentExecutable() : ports_.applicationPath;
    if (application.empty()) {
        log("Could not relaunch the app (its path is unknown) — quit and reopen it");
        return;
    }
    auto failure = launch("/bin/sh", {"-c", CameraExtensionInstaller::kRelaunchScript, application,
                                      std::to_string(getpid()), kCameraName});
    if (failure) {
        log("Could not relaunch the app (" + *failure + ") — quit and reopen it");
        return;
    }
    if (ports_.terminate) ports_.terminate();
}

}  // namespace vsc
