// Cost of handing one programme frame to NDI: NDIOutput.sendVideo (its lock,
// the adapter's frame description and the runtime's call) against the stand-in
// runtime, which reads the frame and records the call but encodes nothing.
// The reference is a memcpy of the same 1920x1080 NV12 frame in the same run,
// so the ratio says what the program adds; it also counts the copies the
// program makes (the runtime must be handed the receiver's own buffer). The
// same for one 10 ms sound block, whose planar conversion is one pass.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "app/ndi/ndi_output.h"
#include "support/stand_in_ndi.h"

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double nanoseconds(Clock::duration d) {
    return std::chrono::duration<double, std::nano>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::atol(argv[1]) : 3000;
    if (frames <= 0) return 2;

    char pattern[] = "/tmp/vsc-ndi-bench-XXXXXX";
    fs::path folder = mkdtemp(pattern);
    fs::create_symlink(STAND_IN_NDI, folder / "libndi.so.6");
    setenv("NDI_RUNTIME_DIR_V6", folder.c_str(), 1);
    vsc::test::StandInNdiLibrary standIn;
    vsc::NdiRuntime runtime;
    vsc::NDIOutput output(runtime);
    if (auto problem = output.start("Bench")) {
        std::fprintf(stderr, "%s\n", problem->c_str());
        return 1;
    }

    // Eight different frames, cycled, so neither side runs from a warm cache
    // of one frame.
    constexpr int kDistinct = 8;
    std::vector<std::vector<std::uint8_t>> pictures(kDistinct);
    for (int i = 0; i < kDistinct; ++i)
        pictures[i].assign(vsc::NDIOutput::kFrameBytes, static_cast<std::uint8_t>(16 + i));
    std::vector<std::uint8_t> copy(vsc::NDIOutput::kFrameBytes);

    auto start = Clock::now();
    for (long n = 0; n < frames; ++n) output.sendVideo(pictures[n % kDistinct]);
    const double sendNs = nanoseconds(Clock::now() - start) / static_cast<double>(frames);

    unsigned checksum = 0;
    start = Clock::now();
    for (long n = 0; n < frames; ++n) {
        std::memcpy(copy.data(), pictures[n % kDistinct].data(), copy.size());
        checksum += copy[static_cast<std::size_t>(n) % copy.size()];
    }
    const double copyNs = nanoseconds(Clock::now() - start) / static_cast<double>(frames);

    // A frame reached the runtime as the receiver's own buffer, or as a copy.
    long handedOver = 0, copied = 0;
    {
        std::lock_guard<std::mutex> hold(standIn->mutex);
        for (std::size_t i = 0; i < standIn->videos.size(); ++i) {
            if (standIn->videos[i].frame.data == pictures[i % kDistinct].data())
                ++handedOver;
            else
                ++copied;
        }
        standIn->videos.clear();
        standIn->calls.clear();
    }

    std::vector<float> block(960);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>(i) / 960.0f;
    std::vector<float> blockCopy(block.size());
    const long blocks = frames * 10;
    start = Clock::now();
    for (long n = 0; n < blocks; ++n) {
        output.sendAudio(block.data(), block.size(), 2, 48000);
        if (n % 1000 == 999) {
            std::lock_guard<std::mutex> hold(standIn->mutex);
            standIn->audios.clear();
            standIn->calls.clear();
        }
    }
    const double audioNs = nanoseconds(Clock::now() - start) / static_cast<double>(blocks);
    start = Clock::now();
    for (long n = 0; n < blocks; ++n) {
        std::memcpy(blockCopy.data(), block.data(), block.size() * sizeof(float));
        checksum += static_cast<unsigned>(blockCopy[static_cast<std::size_t>(n) % 960] * 2);
    }
    const double audioCopyNs = nanoseconds(Clock::now() - start) / static_cast<double>(blocks);

    output.stop();
    fs::remove_all(folder);
    std::printf("ndi video: %ld frames of 1920x1080 NV12 (%zu bytes)\n", frames,
                vsc::NDIOutput::kFrameBytes);
    std::printf("  send through NDIOutput (stand-in runtime): %10.0f ns/frame\n", sendNs);
    std::printf("  reference, memcpy of one frame:             %10.0f ns/frame\n", copyNs);
    std::printf("  ratio send / memcpy: %.4f\n", sendNs / copyNs);
    std::printf(
        "  frames handed over as the receiver's buffer: %ld, copied: %ld (copies per "
        "frame: %.0f)\n",
        handedOver, copied, static_cast<double>(copied) / static_cast<double>(handedOver + copied));
    std::printf("ndi audio: %ld blocks of 480 frames x 2 channels\n", blocks);
    std::printf(
        "  send with planar conversion: %8.0f ns/block; memcpy of the block: %8.0f "
        "ns/block; ratio %.2f\n",
        audioNs, audioCopyNs, audioNs / audioCopyNs);
    return checksum == 0xFFFFFFFFu ? 3 : 0;
}
