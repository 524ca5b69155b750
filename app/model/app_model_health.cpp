// Programme health: the loss of the programme while sending and the set-up
// problems, each told to the user once by a desktop notification.
#include "app/model/app_model.h"
#include "app/model/program_health.h"

namespace vsc {
namespace {

// How long the programme must have been lost before the user is told.
constexpr double kLostNotifySeconds = 10;
constexpr const char* kThreadIdentifier = "vendaroscope-virtual-webcam";

}  // namespace

std::optional<PcrEntry> AppModel::selectedPcr() const {
    for (const auto& entry : pcrs.value_)
        if (entry.identifier() == selectedPcrId.value_) return entry;
    return std::nullopt;
}

std::string AppModel::studioName() const {
    auto studio = selectedPcr();
    if (!studio) return "the studio";
    return studio->name.empty() ? studio->serviceName : studio->name;
}

void AppModel::postNotification(const std::string& identifier, const std::string& title,
                                const std::string& body) {
    if (!ports_.notifications) return;
    ports_.notifications->post(Notification{identifier, title, body, kThreadIdentifier, true});
}

void AppModel::checkProgramHealth() {
    auto studio = selectedPcr();
    // A studio that announces no stage is off the air: the panel says so instead.
    const bool offAir = studio && studio->stage.empty();
    const bool lost =
        running.value_ && hadProgramSinceStart_ && !receivingProgram.value_ && !offAir;
    const WallTime now = ports_.main->now();
    if (lost) {
        if (!programLostSince.value_) publish(programLostSince, std::optional<WallTime>(now));
        if (lostNotified_) return;
        if (secondsBetween(*programLostSince.value_, now) >= kLostNotifySeconds) {
            lostNotified_ = true;
            postNotification("program-lost", "Program lost",
                             "For 10 s, participants have seen “Waiting for program…”. "
                             "Reconnecting to " +
                                 studioName() + "…");
        }
        return;
    }
    if (lostNotified_ && receivingProgram.value_)
        postNotification("program-back", "Program is back", "Sending " + studioName() + " again.");
    if (programLostSince.value_) publish(programLostSince, std::optional<WallTime>());
    lostNotified_ = false;
}

void AppModel::notifyProblems() {
    // Nothing before the welcome assistant has finished.
    if (!setupCompleted.value_) return;
    std::set<std::string> current;
    for (const auto& problem : setupProblems(extensionState.value_, audioDriverState.value_)) {
        current.insert(problem.identifier);
        // Told once when it arises; told again only after it cleared and came back.
        if (!notifiedProblems_.count(problem.identifier))
            postNotification(problem.identifier, problem.title, problem.body);
    }
    notifiedProblems_ = std::move(current);
}

}  // namespace vsc
