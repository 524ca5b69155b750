#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "app/ndi/ndi_runtime.h"

namespace vsc {

// The program's NDI source: at most one sender, and one lock that serialises
// every use of it, so the receiver's video and audio threads never send on a
// sender the main thread is destroying.
class NDIOutput {
  public:
    explicit NDIOutput(NdiRuntime& runtime = NdiRuntime::shared());
    ~NDIOutput();
    NDIOutput(const NDIOutput&) = delete;
    NDIOutput& operator=(const NDIOutput&) = delete;

    static constexpr std::int32_t kWidth = 1920;
    static constexpr std::int32_t kHeight = 1080;
    static constexpr std::size_t kFrameBytes =
        static_cast<std::size_t>(kWidth) * static_cast<std::size_t>(kHeight) * 3 / 2;

    // Main thread. None on success, else what went wrong.
    std::optional<std::string> start(const std::string& name);
    void stop();
    // The receiver's video thread: one NV12 1920x1080 frame, declared 30/1.
    void sendVideo(std::span<const std::uint8_t> frame);
    // The receiver's audio thread: interleaved samples.
    void sendAudio(const float* samples, std::size_t count, int channels, int sampleRate);
    // Main thread: receivers connected now; none while there is no sender.
    std::optional<int> connectionCount();

    NdiRuntime& runtime() { return runtime_; }

  private:
    NdiRuntime& runtime_;
    std::mutex lock_;
    NdiRuntime::Sender* sender_ = nullptr;
};

}  // namespace vsc
