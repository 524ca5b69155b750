#pragma once

#include <functional>
#include <memory>

#include "app/model/app_model.h"
#include "platform/user_service.h"

namespace vsc {

// The model's ports as the product runs it: the camera and the sound on
// PipeWire, the camera and the microphone installed as user services,
// studios over avahi-daemon, the user's own preferences. Services already
// installed that nothing runs (the application was not running when they
// ended) are started again.
struct SystemPorts {
    AppModel::Ports ports;
    std::shared_ptr<UserServices> services;
    // The desktop's notifications; the shell installs the click handler.
    std::shared_ptr<Notifications> notifications;
};
SystemPorts makeSystemPorts(MainQueue& main, Preferences& preferences,
                            std::function<void()> terminate);

}  // namespace vsc
