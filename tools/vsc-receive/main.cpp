// vsc-receive URL SECONDS: runs one programme receiver against URL for that
// long, prints each activity-log line as it comes, then the totals:
//   frames=N audio_blocks=M frame_bytes=B audio_floats=F
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "app/intake/program_receiver.h"
#include "app/model/activity_log.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL SECONDS\n", argv[0]);
        return 2;
    }
    std::string url = argv[1];
    char* end = nullptr;
    double seconds = std::strtod(argv[2], &end);
    if (end == argv[2] || *end != '\0' || !(seconds > 0)) {
        std::fprintf(stderr, "vsc-receive: SECONDS must be a positive number, not \"%s\"\n",
                     argv[2]);
        return 2;
    }

    std::mutex mutex;
    vsc::ActivityLog log;
    long long frames = 0, audioBlocks = 0;
    std::size_t frameBytes = 0, audioFloats = 0;

    vsc::ProgramReceiver::Environment environment;
    environment.resourcesDir = vsc::resourcesDirectory();
    auto receiver = vsc::ProgramReceiver::create(environment);
    receiver->onLog = [&](const std::string& message) {
        std::lock_guard<std::mutex> hold(mutex);
        std::printf("%s\n", log.append(message).c_str());
        std::fflush(stdout);
    };
    receiver->onVideoFrame = [&](std::span<const std::uint8_t> frame) {
        std::lock_guard<std::mutex> hold(mutex);
        ++frames;
        frameBytes = frame.size();
    };
    receiver->onAudioSamples = [&](std::span<const float> block) {
        std::lock_guard<std::mutex> hold(mutex);
        ++audioBlocks;
        audioFloats = block.size();
    };
    receiver->start(url);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    receiver->stop();

    std::lock_guard<std::mutex> hold(mutex);
    std::printf("frames=%lld audio_blocks=%lld frame_bytes=%zu audio_floats=%zu\n", frames,
                audioBlocks, frameBytes, audioFloats);
    std::fflush(stdout);
    // The receiver's threads may still be winding down; leave without waiting.
    std::_Exit(0);
}
