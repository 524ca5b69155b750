// The model's camera: connecting the sink and the camera check that keeps it
// connected to the right device while sending.
#include "app/camera/camera_sink.h"
#include "app/model/app_model.h"

namespace vsc {
namespace {

const std::string kConnected = "Connected to “Vendaroscope Program”";
const std::string kWaitingForCamera = "Waiting for the camera “Vendaroscope Program”…";

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

}  // namespace vsc
