#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

namespace vsc {

// A small non-recursive mutex cheap enough for the real-time render thread:
// it spins on an atomic flag with a processor pause and, if the holder is slow,
// yields the processor instead of sleeping in the kernel. The sections it
// guards are one block copy or one render buffer, a few microseconds at most.
// Satisfies Lockable, so std::lock_guard and std::unique_lock work with it.
class UnfairLock {
  public:
    UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    void lock() noexcept;
    bool try_lock() noexcept { return !flag_.test_and_set(std::memory_order_acquire); }
    // Spins for the lock for at most `limit`, never yielding: for the
    // real-time thread, which may wait out a holder that is copying a block
    // but not one that was descheduled.
    bool tryLockWithin(std::chrono::nanoseconds limit) noexcept;
    void unlock() noexcept { flag_.clear(std::memory_order_release); }

  private:
    std::atomic_flag flag_;  // clear at construction
};

// The delay line between the receiver's audio thread and the audio system's
// render thread. The receiver's 48 kHz interleaved float frames are appended
// with write(); render() pulls them out one output buffer at a time, applying
// the user's gain, a peak limiter that holds the output to 0.891 (-1 dBFS; a
// limited sample may round one float step above it, 0.89100003, still under
// -1 dBFS), and recording the output peak for the level meter. Playback starts
// once targetFrames frames are buffered, and a backlog of more than 7 200
// frames (150 ms) beyond the target is discarded.
//
// The fields are the ring's state and are public so the owner and its tests
// can see them. Everything except the constants, targetFrames and gain is
// guarded by `lock`: write, render, reset and takePeak must be called with it
// held, and no other field may be touched without it. targetFrames and gain
// are single-word atomic stores made by setDelayMs and setGainDb from any
// thread; a render already running keeps the values it started with.
class AudioRing {
  public:
    static constexpr float limitThreshold = 0.891f;  // -1.0 dBFS
    // e^(-1/7200) per frame: a release time constant of 7 200 frames, 150 ms.
    static constexpr float releaseCoef = 0.99986112f;
    // Frames kept beyond targetFrames before write discards the backlog.
    static constexpr std::int64_t backlogFrames = 7200;
    static constexpr std::int64_t framesPerMs = 48;  // 48 000 Hz
    static constexpr std::int64_t minimumDelayMs = 100;

    // Allocates capacity x channels zero-filled samples. A negative size, or a
    // product that overflows, aborts.
    AudioRing(std::int64_t capacity, std::int64_t channels);
    AudioRing(const AudioRing&) = delete;
    AudioRing& operator=(const AudioRing&) = delete;

    UnfairLock lock;
    const std::int64_t channels;  // samples per frame
    const std::int64_t capacity;  // slots, in frames
    // Zero-filled at construction; slot s, channel c at index s * channels + c.
    // Never resized.
    std::vector<float> data;
    std::int64_t readIndex = 0;  // slot of the oldest buffered frame
    std::int64_t fill = 0;       // buffered frames
    bool primed = false;         // playing; false while waiting for targetFrames
    float peakValue = 0.0f;      // largest |output sample| since the last takePeak
    std::atomic<std::int64_t> targetFrames{0};
    std::atomic<float> gain{1.0f};
    float envelope = 0.0f;  // limiter envelope
    // What a listener hears as clicks, counted for diagnosis: the times the
    // ring ran dry while playing, and the frames the backlog trim discarded.
    std::int64_t underruns = 0;
    std::int64_t trimmedFrames = 0;

    // Appends `frames` interleaved frames of `channels` samples. A full ring
    // drops its oldest frame for each new one; afterwards a backlog above
    // targetFrames + 7 200 is cut back to the newest targetFrames frames.
    // Call with `lock` held. A negative count aborts.
    void write(const float* samples, std::int64_t frames);

    // Produces frameCount frames into each buffer (one per output channel,
    // non-interleaved, each at least frameCount floats). Buffer b plays ring
    // channel min(b, channels - 1). Silence while waiting or once the ring
    // runs dry. Allocates nothing. Call with `lock` held. A null buffer aborts.
    void render(std::uint32_t frameCount, std::span<float* const> buffers);

    // Empties the ring and waits for a new backlog; gain, target, envelope,
    // peak and the stored samples stay. Call with `lock` held.
    void reset();

    // Returns the output peak and clears it. Call with `lock` held.
    float takePeak();

    // targetFrames = max(delayMs, 100) x 48. A delay whose frame count does not
    // fit a signed 64-bit integer aborts. Any thread, without `lock`.
    void setDelayMs(std::int64_t delayMs);

    // gain = 10^(gainDb / 20) in double precision, rounded to float. Any
    // thread, without `lock`.
    void setGainDb(double gainDb);
};

}  // namespace vsc
