#include "app/audio/audio_ring.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>

namespace vsc {

static_assert(std::bit_cast<std::uint32_t>(AudioRing::releaseCoef) == 0x3F7FF6E6u);
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);

namespace {

inline void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

std::size_t sampleCount(std::int64_t capacity, std::int64_t channels) {
    std::int64_t product = 0;
    if (capacity < 0 || channels < 0 || __builtin_mul_overflow(capacity, channels, &product))
        std::abort();
    if (static_cast<std::uint64_t>(product) > std::numeric_limits<std::size_t>::max()) std::abort();
    return static_cast<std::size_t>(product);
}

}  // namespace

void UnfairLock::lock() noexcept {
    // A short spin covers the usual case of a holder that is copying one
    // block; past that the holder has probably been descheduled, so give the
    // processor away rather than burn it.
    constexpr int kSpinsBeforeYield = 64;
    while (flag_.test_and_set(std::memory_order_acquire)) {
        int spins = 0;
        while (flag_.test(std::memory_order_relaxed)) {
            if (++spins < kSpinsBeforeYield) {
                cpuRelax();
            } else {
                std::this_thread::yield();
                spins = 0;
            }
        }
    }
}

bool UnfairLock::tryLockWithin(std::chrono::nanoseconds limit) noexcept {
    if (try_lock()) return true;
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            cpuRelax();
            if (!flag_.test(std::memory_order_relaxed) && try_lock()) return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
    }
}

AudioRing::AudioRing(std::int64_t capacity, std::int64_t channels)
    : channels(channels), capacity(capacity), data(sampleCount(capacity, channels), 0.0f) {}

void AudioRing::write(const float* samples, std::int64_t frames) {
    if (frames < 0 || (frames > 0 && samples == nullptr)) std::abort();
    const std::int64_t target = targetFrames.load(std::memory_order_relaxed);
    if (target < 0) std::abort();

    // Frame by frame, a full ring drops its oldest frame for each new one, so
    // a block ends up as if every frame had been stored in turn at slot
    // (readIndex + fill) mod capacity, later ones overwriting earlier ones. Only
    // the last `capacity` frames of the block can survive; they are copied in
    // at most two runs. A ring without slots keeps nothing.
    if (capacity > 0 && frames > 0) {
        const std::int64_t kept = std::min(frames, capacity);
        const std::int64_t skipped = frames - kept;
        std::int64_t slot = ((readIndex + fill) % capacity + skipped % capacity) % capacity;
        const float* from = samples + skipped * channels;
        for (std::int64_t left = kept; left > 0;) {
            const std::int64_t run = std::min(left, capacity - slot);
            std::copy(from, from + run * channels,
                      data.begin() + static_cast<std::ptrdiff_t>(slot * channels));
            from += run * channels;
            left -= run;
            slot = 0;
        }
        if (frames <= capacity - fill) {
            fill += frames;
        } else {  // the oldest frames were dropped to make room
            const std::int64_t dropped = frames - (capacity - fill);
            readIndex = (readIndex + dropped % capacity) % capacity;
            fill = capacity;
        }
    }

    // Trim the backlog, written so that it cannot overflow: fill > target + 7 200.
    if (fill - backlogFrames > target) {
        trimmedFrames += fill - target;
        readIndex = (readIndex + (fill - target)) % capacity;
        fill = target;
    }
}

void AudioRing::render(std::uint32_t frameCount, std::span<float* const> buffers) {
    for (float* buffer : buffers)
        if (buffer == nullptr) std::abort();

    const std::int64_t target = targetFrames.load(std::memory_order_relaxed);
    const float level = gain.load(std::memory_order_relaxed);
    if (!primed && fill >= target) primed = true;

    // The limiter state and the peak live in locals for the loop: stores into
    // the output buffers could otherwise alias them and force a reload per frame.
    float env = envelope;
    float outPeak = peakValue;
    const std::size_t bufferCount = buffers.size();
    const std::size_t lastChannel = channels > 0 ? static_cast<std::size_t>(channels - 1) : 0;
    for (std::uint32_t f = 0; f < frameCount; ++f) {
        const bool available = primed && fill >= 1;
        const float* frame = available ? data.data() + readIndex * channels : nullptr;

        float peak = 0.0f;
        if (available)
            for (std::int64_t c = 0; c < channels; ++c)
                peak = std::max(peak, level * std::fabs(frame[c]));

        env = std::max(peak, env * releaseCoef);
        const float limit = env > limitThreshold ? limitThreshold / env : 1.0f;

        for (std::size_t b = 0; b < bufferCount; ++b) {
            // A ring without channels has frames but no samples to play.
            const float sample = available && channels > 0
                                     ? (frame[std::min(b, lastChannel)] * level) * limit
                                     : 0.0f;
            buffers[b][f] = sample;
            outPeak = std::max(outPeak, std::fabs(sample));
        }

        if (available) {
            readIndex = readIndex + 1 == capacity ? 0 : readIndex + 1;
            --fill;
        } else if (primed) {
            primed = false;  // ran dry while playing: silence until the backlog is back
            ++underruns;
        }
    }
    envelope = env;
    peakValue = outPeak;
}

void AudioRing::reset() {
    readIndex = 0;
    fill = 0;
    primed = false;
}

float AudioRing::takePeak() {
    const float value = peakValue;
    peakValue = 0.0f;
    return value;
}

void AudioRing::setDelayMs(std::int64_t delayMs) {
    const std::int64_t ms = std::max(delayMs, minimumDelayMs);
    if (ms > std::numeric_limits<std::int64_t>::max() / framesPerMs) std::abort();
    targetFrames.store(ms * framesPerMs, std::memory_order_relaxed);
}

void AudioRing::setGainDb(double gainDb) {
    gain.store(static_cast<float>(std::pow(10.0, gainDb / 20.0)), std::memory_order_relaxed);
}

}  // namespace vsc
