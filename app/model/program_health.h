#pragma once

#include <string>
#include <vector>

#include "app/audio/audio_driver_state.h"
#include "app/camera/camera_extension_state.h"

namespace vsc {

// A set-up problem the user is told about by a notification.
struct SetupProblem {
    std::string identifier;
    std::string title;
    std::string body;
    bool operator==(const SetupProblem&) const = default;
};

// The set-up problems the camera's and the microphone's states show now.
std::vector<SetupProblem> setupProblems(const CameraExtensionState& camera,
                                        const AudioDriverState& microphone);

}  // namespace vsc
