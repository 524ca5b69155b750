// Throughput of the receiver's video reader: a stand-in ffmpeg writes raw
// 1920x1080 NV12 frames into the pipe as fast as it can, the receiver hands
// each whole frame to its callback. The reference is a plain memcpy of the same
// frames in the same run, so the figure that matters is the ratio.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "app/intake/program_receiver.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::atol(argv[1]) : 600;
    char pattern[] = "/tmp/vsc-bench-XXXXXX";
    fs::path dir = mkdtemp(pattern);
    fs::create_symlink(STAND_IN_FFMPEG, dir / "ffmpeg");
    fs::create_symlink(STAND_IN_FFMPEG, dir / "ffprobe");
    std::ofstream(dir / "probe_out") << "video\n";
    std::ofstream(dir / "frames") << frames;
    std::ofstream(dir / "hold") << "";

    vsc::ProgramReceiver::Environment env;
    env.resourcesDir = dir.string();
    env.systemFfmpegPaths = {};
    auto receiver = vsc::ProgramReceiver::create(env);
    const std::size_t frameBytes = receiver->frameBytes();

    std::mutex mutex;
    std::condition_variable done;
    long received = 0;
    Clock::time_point first, last;
    std::uint64_t checksum = 0;
    receiver->onVideoFrame = [&](std::span<const std::uint8_t> frame) {
        std::lock_guard<std::mutex> hold(mutex);
        if (received == 0) first = Clock::now();
        last = Clock::now();
        checksum += frame[frame.size() - 1];
        if (++received == frames) done.notify_all();
    };
    receiver->start("rtsp://bench.invalid/STAGE_1");
    {
        std::unique_lock<std::mutex> hold(mutex);
        done.wait_for(hold, std::chrono::seconds(120), [&] { return received == frames; });
    }
    receiver->stop();
    std::ofstream(dir / "release") << "";

    // Reference: the same number of frames copied with memcpy.
    std::vector<std::uint8_t> source(frameBytes, 7), target(frameBytes);
    auto copyStart = Clock::now();
    for (long i = 0; i < frames; ++i) {
        source[0] = static_cast<std::uint8_t>(i);
        std::memcpy(target.data(), source.data(), frameBytes);
        checksum += target[0];
    }
    auto copyEnd = Clock::now();

    double pipeSeconds = std::chrono::duration<double>(last - first).count();
    double copySeconds = std::chrono::duration<double>(copyEnd - copyStart).count();
    // The first frame opens the window, so it carries no duration of its own.
    double pipeFps = (received - 1) / pipeSeconds;
    double pipeBytes = pipeFps * static_cast<double>(frameBytes);
    double copyBytes = static_cast<double>(frames) * static_cast<double>(frameBytes) / copySeconds;
    std::printf("receiver video reader: %ld frames of %zu bytes\n", received, frameBytes);
    std::printf("  through the callback: %.0f frames/s, %.0f MB/s\n", pipeFps, pipeBytes / 1e6);
    std::printf("  plain memcpy:         %.0f frames/s, %.0f MB/s\n", frames / copySeconds,
                copyBytes / 1e6);
    std::printf("  ratio receiver/memcpy: %.3f (headroom over 30 fps: %.0fx)\n",
                pipeBytes / copyBytes, pipeFps / 30.0);
    std::printf("  (checksum %llu)\n", static_cast<unsigned long long>(checksum));
    fs::remove_all(dir);
    std::fflush(stdout);
    std::_Exit(received == frames ? 0 : 1);
}
