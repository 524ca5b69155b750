// vendaroscope-camera: the camera program. It publishes the camera
// "Vendaroscope Program" on PipeWire and runs until it is ended.
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <future>

#include "camera-extension/framework/pipewire_service.h"
#include "camera-extension/program_provider.h"
#include "camera-extension/slate.h"
#include "camera-extension/slate_picture.h"

int main() {
    std::setlocale(LC_ALL, "");
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    static vsc::cam::SystemHost host;
    vsc::cam::ProgramDeviceSource::Environment environment;
    environment.host = &host;
    environment.makeQueue = [](const std::string& label) {
        return std::make_shared<vsc::ThreadSerialQueue>(label);
    };
    environment.renderSlate = vsc::cam::renderSlatePicture;
    // Kept for the whole life of the process.
    static vsc::cam::ProgramProviderSource providerSource(environment);

    std::string error;
    auto service = vsc::cam::PipeWireService::start(*providerSource.provider, &error);
    if (!service) {
        std::fprintf(stderr, "vendaroscope-camera: %s\n", error.c_str());
        return 1;
    }
    host.log("camera “Vendaroscope Program” published");
    std::fprintf(stdout, "vendaroscope-camera ready\n");
    std::fflush(stdout);

    int received = 0;
    sigwait(&stop, &received);
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
    std::_Exit(0);
}
