// vsc-headless: the application's model without a user interface. It reads
// the user's preferences, starts the services (and so resumes sending when it
// was on at the last exit), and runs until SIGINT, SIGTERM or SIGHUP (the end
// of the session), which it treats like the application being ended: only the
// receiver is stopped, and the host ends once no child of it is left. Lines on
// standard input stand in for the panel: "start" and "stop" are its start/stop
// control, "quit" its Quit command, "repair-audio" the microphone's repair
// button, "install-camera", "uninstall-camera" and "repair-camera" the
// camera's buttons, "refresh-audio" the audio tab's refresh button (it prints
// an "audio" line with the chosen device), "select ID" the studio picker (ID
// is a studio's name|code|sid; "select" alone chooses none), "ndi on" and
// "ndi off" the NDI switch of the settings, "ndi-name TEXT" its name field.
// The activity log goes to standard output, with a "stats" line every second
// while sending, a "pcrs" line (and a "pcr" line per studio) whenever the list
// of announced studios changes, a "detect-status", "camera-state",
// "sink-status", "audio-driver" or "ndi-status" line whenever that text
// changes, and a "notification-click ID" line for a click on one of its
// notifications, which it posts on the session bus as the application does.
#include <signal.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "app/audio/pipewire_audio_system.h"
#include "app/camera/camera_extension_installer.h"
#include "app/camera/pipewire_camera_system.h"
#include "app/model/app_model.h"
#include "app/model/system_ports.h"
#include "platform/control_characters.h"
#include "platform/frame_copies.h"
#include "platform/main_queue.h"
#include "platform/notifications.h"
#include "platform/preferences.h"
#include "platform/process.h"
#include "platform/user_service.h"

namespace {

// How long the end waits for the receiver's children. Being killed, they go
// at once; this only bounds a child that cannot be reaped for some reason.
constexpr double kChildrenGrace = 5.0;

// Lines quote studio names, stages and ffmpeg; none of that may start a line of
// its own or reach the terminal as a command.
void printLine(const std::string& line) {
    std::fputs(vsc::replaceControlCharacters(line).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printAudio(const vsc::AppModel& model) {
    std::string line = "audio selected=" + std::to_string(model.selectedAudioDevice());
    for (const auto& d : model.audioDevices())
        if (d.id == model.selectedAudioDevice()) line += " name=" + d.name;
    line += " devices=" + std::to_string(model.audioDevices().size());
    printLine(line);
}

void printStudios(const vsc::AppModel& model) {
    printLine("pcrs count=" + std::to_string(model.pcrs().size()) +
              " selected=" + model.selectedPcrId());
    for (const auto& e : model.pcrs()) {
        printLine("pcr id=" + e.identifier() + " service=" + e.serviceName + " stage=" + e.stage +
                  " rtsp=" + std::to_string(e.rtspPort) + " api=" + std::to_string(e.apiPort) +
                  " host=" + e.host.value_or("-"));
    }
}

}  // namespace

namespace {

const char kUsage[] =
    "usage: vsc-headless\n"
    "Runs Vendaroscope Virtual Webcam without a window: reads the user's preferences,\n"
    "finds the studio, resumes sending when it was on at the last exit, and prints\n"
    "the activity log and status changes on standard output. Lines on standard input\n"
    "work it: start, stop, quit, select NAME|CODE|SID, install-camera,\n"
    "uninstall-camera, repair-camera, repair-audio, refresh-audio, ndi on, ndi off,\n"
    "ndi-name TEXT. SIGINT, SIGTERM or SIGHUP end it like the end of the session.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
        std::fputs(kUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    std::setlocale(LC_ALL, "");

    // Signals are taken by one thread with sigwait; every other thread
    // (including ffmpeg's readers) inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    vsc::LoopMainQueue main;
    vsc::JsonFilePreferences preferences;

    // The camera repair's relaunch ends the program like the application's
    // Quit would, minus the stop of sending (the repair has stopped it).
    vsc::SystemPorts system = vsc::makeSystemPorts(main, preferences, [&main] { main.quit(); });
    system.notifications->setClickHandler(
        [](const std::string& identifier) { printLine("notification-click " + identifier); });
    vsc::AppModel::Ports ports = system.ports;

    std::shared_ptr<vsc::AppModel> model;
    main.post([&] {
        model = vsc::AppModel::create(ports);
        model->onLogLine = printLine;
        // The model raises one change signal; print what the panel would show anew.
        auto studios = std::make_shared<std::vector<vsc::PcrEntry>>();
        auto selected = std::make_shared<std::string>();
        auto status = std::make_shared<std::string>();
        auto camera = std::make_shared<std::string>();
        auto sink = std::make_shared<std::string>();
        auto driver = std::make_shared<std::string>();
        auto ndiStatus = std::make_shared<std::string>(model->ndiStatus());
        model->observe([&model, studios, selected, status, camera, sink, driver, ndiStatus] {
            if (model->pcrs() != *studios || model->selectedPcrId() != *selected) {
                *studios = model->pcrs();
                *selected = model->selectedPcrId();
                printStudios(*model);
            }
            if (model->detectStatus() != *status) {
                *status = model->detectStatus();
                printLine("detect-status " + *status);
            }
            if (vsc::summary(model->extensionState()) != *camera) {
                *camera = vsc::summary(model->extensionState());
                printLine("camera-state " + *camera);
            }
            if (model->sinkStatus() != *sink) {
                *sink = model->sinkStatus();
                printLine("sink-status " + *sink);
            }
            if (vsc::summary(model->audioDriverState()) != *driver) {
                *driver = vsc::summary(model->audioDriverState());
                printLine("audio-driver " + *driver);
            }
            if (model->ndiStatus() != *ndiStatus) {
                *ndiStatus = model->ndiStatus();
                printLine("ndi-status " + *ndiStatus);
            }
        });
        if (!preferences.loadProblem().empty()) model->log(preferences.loadProblem());
        model->startServices();
        printAudio(*model);
    });
    main.addRepeatingTimer(1.0, [&] {
        if (!model || !model->running()) return;
        char line[240];
        const auto gaps = ports.audio ? ports.audio->gaps() : vsc::AudioOutput::Gaps{};
        std::snprintf(
            line, sizeof line,
            "stats inputFps=%.0f receiving=%d ffmpeg=%d dropped=%lld "
            "sound-underruns=%lld sound-trimmed=%lld sound-busy=%lld",
            model->inputFps(), model->receivingProgram() ? 1 : 0, model->ffmpegRunning() ? 1 : 0,
            static_cast<long long>(model->droppedFrames()), static_cast<long long>(gaps.underruns),
            static_cast<long long>(gaps.trimmedFrames), static_cast<long long>(gaps.busyRenders));
        printLine(line);
        // What the frames cost so far, for the camera bench.
        printLine("copies " + vsc::frameCopies().text());
    });

    std::thread([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        main.post([&] {
            if (model) model->applicationWillTerminate();
            main.quit();
        });
    }).detach();

    std::thread([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
            main.post([&main, &model, line] {
                if (!model) return;
                if (line == "start" && !model->running()) {
                    model->toggleSendingFromPanel();
                } else if (line == "stop" && model->running()) {
                    model->toggleSendingFromPanel();
                } else if (line == "install-camera") {
                    model->activateExtension();
                } else if (line == "uninstall-camera") {
                    model->deactivateExtension();
                } else if (line == "repair-camera") {
                    model->repairCamera();
                } else if (line == "repair-audio") {
                    model->repairAudioDriver();
                } else if (line == "refresh-audio") {
                    model->refreshAudioDevices();
                    printAudio(*model);
                } else if (line == "select" || line.rfind("select ", 0) == 0) {
                    model->setSelectedPcrId(line.size() > 7 ? line.substr(7) : "");
                } else if (line == "ndi on" || line == "ndi off") {
                    model->setNdiEnabled(line == "ndi on");
                } else if (line.rfind("ndi-name ", 0) == 0) {
                    model->setNdiName(line.substr(9));
                } else if (line == "quit") {
                    // Quitting ends the application, which stops the receiver.
                    model->quitFromMenu([&main, &model] {
                        model->applicationWillTerminate();
                        main.quit();
                    });
                }
            });
        }
    }).detach();

    main.run();
    // The receiver has been stopped, but a probe it was waiting for, or an
    // ffmpeg spawned a moment too late, may still be alive: they would run on
    // without us. The stop killed them; wait until they have been reaped.
    if (model && !model->receiver()->waitForChildren(kChildrenGrace))
        std::fputs("the receiver's children did not end in time\n", stderr);
    std::fflush(stdout);
    // Worker threads may still be winding down; end without tearing them apart.
    preferences.flush();
    std::_Exit(0);
}
