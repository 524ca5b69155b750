#include "app/model/program_health.h"

#include <variant>

#include "app/model/platform_texts.h"

namespace vsc {

std::vector<SetupProblem> setupProblems(const CameraExtensionState& camera,
                                        const AudioDriverState& microphone) {
    std::vector<SetupProblem> problems;
    if (std::holds_alternative<ExtensionOutdated>(camera)) {
        problems.push_back({"camera-update", "Finish the camera update",
                            "Open the menu bar panel and click Update camera."});
    } else if (const auto* notStarted = std::get_if<ExtensionNotStarted>(&camera)) {
        if (notStarted->afterRestart)
            problems.push_back(
                {"camera-repair", texts::kRestartComputerTitle, texts::kRestartComputerBody});
        else
            problems.push_back({"camera-repair", "Camera needs a repair",
                                "Video apps can't see “Vendaroscope Program”. Open the menu bar "
                                "panel and click Repair camera."});
    }
    // Ok needs nothing, and unavailable (no microphone to install) cannot be repaired.
    if (!std::holds_alternative<DriverOk>(microphone) &&
        !std::holds_alternative<DriverUnavailable>(microphone))
        problems.push_back({"microphone-repair", "Microphone needs a repair",
                            "Video apps get the picture but no sound. Open the menu bar panel "
                            "and click Repair microphone."});
    return problems;
}

}  // namespace vsc
