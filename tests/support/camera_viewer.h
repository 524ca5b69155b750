#pragma once

// A video application reading the camera "Vendaroscope Program" through
// GStreamer's pipewiresrc, as the end-to-end tests and benchmarks see it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "support/desktop_session.h"
#include "support/wait.h"

namespace vsc::test {

// The viewer keeps a band of rows across the middle of each 1920x1080 frame:
// enough to tell the bars from the slate, light enough to read 30 times a
// second on a busy machine without holding up the camera.
inline constexpr int kBandTop = 480, kBandRows = 40;
inline constexpr std::size_t kViewerFrameBytes = 1920 * kBandRows * 3 / 2;
inline constexpr int kBarLuma[7] = {235, 219, 188, 173, 78, 63, 32};

enum class Look { Bars, Slate, Other };

inline Look classify(const std::uint8_t* y) {
    const int row = 500 - kBandTop;  // across the bars, and through the slate's title
    auto at = [&](int x) { return static_cast<int>(y[row * 1920 + x]); };
    bool bars = true;
    for (int bar = 0; bar < 7 && bars; ++bar)
        bars = std::abs(at(static_cast<int>((bar + 0.5) * 1920 / 7)) - kBarLuma[bar]) <= 14;
    if (bars) return Look::Bars;
    // The slate: a dark background and the bright title in the middle.
    bool dark = std::abs(at(100) - 33) <= 5 && std::abs(at(1800) - 33) <= 5;
    int bright = 0;
    for (int x = 400; x < 1520; x += 2) bright += at(x) > 200;
    return dark && bright > 20 ? Look::Slate : Look::Other;
}

// A video application reading the camera: frames with their arrival times.
class Viewer {
    using Steady = std::chrono::steady_clock;

  public:
    explicit Viewer(int frames = 100000)
        : gst_("/usr/bin/gst-launch-1.0",
               {"-q", "pipewiresrc", "target-object=Vendaroscope Program",
                "num-buffers=" + std::to_string(frames), "!",
                "video/x-raw,format=NV12,width=1920,height=1080", "!", "videocrop",
                "top=" + std::to_string(kBandTop),
                "bottom=" + std::to_string(1080 - kBandTop - kBandRows), "!", "queue",
                "max-size-buffers=30", "!", "fdsink", "fd=1"},
               {}, true) {
        // The queue keeps our reading from holding up the camera's graph.
        fcntl(gst_.stdoutFd(), F_SETPIPE_SZ, 1 << 20);
        reader_ = std::thread([this] { read(); });
    }
    ~Viewer() {
        gst_.stop();
        reader_.join();
    }
    struct Frame {
        Steady::time_point at;
        Look look;
    };
    std::vector<Frame> frames() {
        std::lock_guard<std::mutex> hold(mutex_);
        return frames_;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> hold(mutex_);
        return frames_.size();
    }
    bool waitFor(std::size_t n, std::chrono::milliseconds limit) {
        return eventually([&] { return count() >= n; }, limit);
    }
    // Until the newest frame looks like that.
    bool waitForLook(Look look, std::chrono::milliseconds limit) {
        return eventually(
            [&] {
                std::lock_guard<std::mutex> hold(mutex_);
                return !frames_.empty() && frames_.back().look == look;
            },
            limit);
    }
    // Until the newest frame, received after `from`, looks like that.
    bool waitForLookSince(Look look, Steady::time_point from, std::chrono::milliseconds limit) {
        return eventually(
            [&] {
                std::lock_guard<std::mutex> hold(mutex_);
                return !frames_.empty() && frames_.back().at > from && frames_.back().look == look;
            },
            limit);
    }
    // The longest time between two frames received after `from`, in
    // seconds. A busy machine may delay a frame or two; a freeze a person
    // notices is longer than 0.2 s.
    double widestGap(Steady::time_point from) {
        auto f = frames();
        double widest = 0;
        for (std::size_t i = 1; i < f.size(); ++i)
            if (f[i].at > from)
                widest =
                    std::max(widest, std::chrono::duration<double>(f[i].at - f[i - 1].at).count());
        return widest;
    }
    // Frames per second between frame `from` and the newest.
    double rate(std::size_t from) {
        Span span = spanFrom(from);
        return span.seconds > 0 ? static_cast<double>(span.frames) / span.seconds : 0;
    }
    // The frames a camera at 30 fps sent from frame `from` to the newest
    // that did not arrive (negative when more arrived), and when frame
    // `from` arrived.
    double missingFrames(std::size_t from, Steady::time_point* since = nullptr) {
        Span span = spanFrom(from);
        if (since) *since = span.since;
        return span.seconds * 30.0 - static_cast<double>(span.frames);
    }

  private:
    // From frame `from` to the newest: the frames after it, the seconds
    // between them, and when frame `from` arrived (none before two frames).
    struct Span {
        std::size_t frames = 0;
        double seconds = 0;
        Steady::time_point since;
    };
    Span spanFrom(std::size_t from) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (frames_.size() < from + 2) return {};
        return {frames_.size() - 1 - from,
                std::chrono::duration<double>(frames_.back().at - frames_[from].at).count(),
                frames_[from].at};
    }

    void read() {
        std::vector<std::uint8_t> frame(kViewerFrameBytes);
        for (;;) {
            std::size_t filled = 0;
            while (filled < kViewerFrameBytes) {
                ssize_t n =
                    ::read(gst_.stdoutFd(), frame.data() + filled, kViewerFrameBytes - filled);
                if (n <= 0) return;
                filled += static_cast<std::size_t>(n);
            }
            Look look = classify(frame.data());
            std::lock_guard<std::mutex> hold(mutex_);
            frames_.push_back({Steady::now(), look});
        }
    }
    Program gst_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

}  // namespace vsc::test
