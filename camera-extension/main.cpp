// vendaroscope-camera: the camera program. It publishes the camera
// "Vendaroscope Program" on PipeWire and runs until it is ended.
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>

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
    // Leave the graph cleanly so readers see the camera go at once.
    service.reset();
    std::_Exit(0);
}
