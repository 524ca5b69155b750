// Cost of one audio render: a 10 ms output buffer (480 frames, 2 channels)
// pulled from the ring with gain and limiter, the ring's lock taken and
// released around it as the render callback does. Between renders the writer
// appends one 10 ms block, so the ring stays at its 100 ms backlog and every
// render plays. The reference is a plain deinterleaving copy of the same
// samples into the same two buffers in the same run (and a memcpy of the
// interleaved block), so the figure that matters is the ratio.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "app/audio/audio_ring.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kFrames = 480;  // 10 ms at 48 kHz
constexpr int kBlocksOfInput = 100;     // one second of input, cycled

double nanoseconds(Clock::duration d) {
    return std::chrono::duration<double, std::nano>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    const long blocks = argc > 1 ? std::atol(argv[1]) : 200000;
    if (blocks <= 0) return 2;

    // A programme-like signal: two tones, with a loud passage every fifth block
    // so that the limiter works part of the time (the gain is +6 dB).
    std::vector<float> input(static_cast<std::size_t>(kBlocksOfInput) * kFrames * 2);
    for (std::size_t f = 0; f < input.size() / 2; ++f) {
        const float t = static_cast<float>(f) / 48000.0f;
        const float loud = (f / kFrames) % 5 == 0 ? 0.9f : 0.3f;
        input[2 * f] = loud * std::sin(6.2831853f * 440.0f * t);
        input[2 * f + 1] = loud * std::sin(6.2831853f * 997.0f * t + 0.5f);
    }
    auto block = [&](long n) {
        return input.data() + static_cast<std::size_t>(n % kBlocksOfInput) * kFrames * 2;
    };

    std::vector<float> left(kFrames), right(kFrames), interleaved(2 * kFrames);
    float* const buffers[2] = {left.data(), right.data()};
    double checksum = 0;

    vsc::AudioRing ring(192000, 2);
    ring.setDelayMs(0);
    ring.setGainDb(6);
    for (long n = 0; n < 10; ++n) {  // the 100 ms backlog
        std::lock_guard<vsc::UnfairLock> hold(ring.lock);
        ring.write(block(n), kFrames);
    }

    Clock::duration renderTime{}, writeTime{};
    for (long n = 0; n < blocks; ++n) {
        auto t0 = Clock::now();
        {
            std::lock_guard<vsc::UnfairLock> hold(ring.lock);
            ring.write(block(n + 10), kFrames);
        }
        auto t1 = Clock::now();
        {
            std::lock_guard<vsc::UnfairLock> hold(ring.lock);
            ring.render(kFrames, buffers);
        }
        auto t2 = Clock::now();
        writeTime += t1 - t0;
        renderTime += t2 - t1;
        checksum += left[n % kFrames] + right[(n * 7) % kFrames];
    }
    float peak = 0;
    {
        std::lock_guard<vsc::UnfairLock> hold(ring.lock);
        peak = ring.takePeak();
        if (ring.fill != 4800 || !ring.primed) {
            std::fprintf(stderr, "ring fell out of its backlog: fill %lld\n",
                         static_cast<long long>(ring.fill));
            return 1;
        }
    }

    // References, timed the same way: deinterleave into the two buffers, and
    // a memcpy of the interleaved block.
    Clock::duration copyTime{}, memcpyTime{};
    for (long n = 0; n < blocks; ++n) {
        const float* from = block(n);
        auto t0 = Clock::now();
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            left[f] = from[2 * f];
            right[f] = from[2 * f + 1];
        }
        auto t1 = Clock::now();
        std::memcpy(interleaved.data(), from, interleaved.size() * sizeof(float));
        auto t2 = Clock::now();
        copyTime += t1 - t0;
        memcpyTime += t2 - t1;
        checksum += left[n % kFrames] + right[(n * 7) % kFrames] + interleaved[n % (2 * kFrames)];
    }

    const double render = nanoseconds(renderTime) / static_cast<double>(blocks);
    const double write = nanoseconds(writeTime) / static_cast<double>(blocks);
    const double copy = nanoseconds(copyTime) / static_cast<double>(blocks);
    const double plain = nanoseconds(memcpyTime) / static_cast<double>(blocks);
    std::printf("audio ring, %ld blocks of %u frames x 2 channels (10 ms), gain +6 dB\n", blocks,
                kFrames);
    std::printf(
        "  render (lock + gain + limiter + peak): %9.1f ns/block  (%.4f%% of the 10 ms budget)\n",
        render, render / 1e5);
    std::printf("  write  (lock + copy into the ring):    %9.1f ns/block\n", write);
    std::printf("  deinterleaving copy (reference):       %9.1f ns/block\n", copy);
    std::printf("  memcpy of the interleaved block:       %9.1f ns/block\n", plain);
    std::printf("  ratio render / deinterleaving copy:    %9.2f\n", render / copy);
    std::printf("  output peak %.6f, checksum %.6g\n", peak, checksum);
    return 0;
}
