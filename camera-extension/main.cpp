// vendaroscope-camera: the camera program. It publishes the camera
// "Vendaroscope Program" on PipeWire and runs until it is ended (exit 0), or
// until the PipeWire server is not there or goes away (exit non-zero: its
// service starts it again). SIGUSR1 prints the picture copy counts.
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>

#include "camera-extension/framework/pipewire_service.h"
#include "camera-extension/program_provider.h"
#include "camera-extension/slate.h"
#include "camera-extension/slate_picture.h"
#include "platform/frame_copies.h"
#include "platform/process.h"
#include "platform/thread_priority.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // The child that draws the slate for us (renderSlatePictureApart).
    if (argc == 4 && std::string(argv[1]) == "--draw-slate")
        return vsc::cam::drawSlateTo(STDOUT_FILENO, argv[2], argv[3]) ? 0 : 1;
    if (argc > 1) {
        const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
        std::fputs(
            "usage: vendaroscope-camera\n"
            "Publishes the camera \"Vendaroscope Program\" on PipeWire and shows what\n"
            "Vendaroscope Virtual Webcam sends, or its slate. Installed and started as a\n"
            "user service by the application; ends when PipeWire goes away.\n",
            help ? stdout : stderr);
        return help ? 0 : 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    // Not an end: asks for the picture copy counts on standard output.
    sigaddset(&stop, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    static vsc::cam::SystemHost host;
    vsc::cam::ProgramDeviceSource::Environment environment;
    environment.host = &host;
    environment.makeQueue = [](const std::string& label) {
        return std::make_shared<vsc::ThreadSerialQueue>(label);
    };
    environment.renderSlate = [](const std::string& title, const std::string& subtitle) {
        return vsc::cam::renderSlatePictureApart(vsc::executablePath(), title, subtitle);
    };
    // Kept for the whole life of the process.
    static vsc::cam::ProgramProviderSource providerSource(environment);
    // The frame pump ticks ahead of ordinary work, as the host's readers and
    // ffmpeg run: a call application encoding on every core must not make
    // the camera late.
    providerSource.deviceSource->queue->async([] {
        std::string why = vsc::raiseThreadPriority(::getpid(), vsc::currentThreadId(),
                                                   vsc::kProgramNiceLevel);
        if (!why.empty()) host.log("the frame pump keeps the ordinary priority: " + why);
    });

    std::string error;
    auto service = vsc::cam::PipeWireService::start(*providerSource.provider, &error);
    if (!service) {
        std::fprintf(stderr, "vendaroscope-camera: %s\n", error.c_str());
        return 1;
    }
    host.log("camera “Vendaroscope Program” published");
    std::fprintf(stdout, "vendaroscope-camera ready\n");
    std::fflush(stdout);

    // Until told to end, or until the PipeWire server goes away (it restarted):
    // then the nodes are gone for good, and the program ends with a failure
    // so that its service starts it again, to publish the camera anew.
    bool serverGone = false;
    for (;;) {
        timespec poll{0, 250'000'000};
        int signal = sigtimedwait(&stop, nullptr, &poll);
        if (signal == SIGUSR1) {
            std::fprintf(stdout, "copies %s\n", vsc::frameCopies().text().c_str());
            std::fflush(stdout);
            continue;
        }
        if (signal >= 0) break;
        if (service->connection().broken()) {
            serverGone = true;
            host.log("PipeWire went away; ending so that the camera is published anew");
            break;
        }
    }
    // The frame timer and what it queued must be done before the streams go:
    // a tick in flight would otherwise take a buffer from a stream being
    // destroyed. Twice: a sink answer queued by the last tick runs before the
    // second round.
    auto& device = *providerSource.deviceSource;
    device.shutdown();
    for (int round = 0; round < 2; ++round) {
        std::promise<void> ran;
        device.queue->async([&ran] { ran.set_value(); });
        ran.get_future().wait();
    }
    // Leave the graph cleanly so readers see the camera go at once.
    service.reset();
    std::_Exit(serverGone ? 3 : 0);
}
