#include "app/ndi/ndi_output.h"

#include <limits>

namespace vsc {

NDIOutput::NDIOutput(NdiRuntime& runtime) : runtime_(runtime) {}

NDIOutput::~NDIOutput() {
    stop();
}

std::optional<std::string> NDIOutput::start(const std::string& name) {
    if (auto problem = runtime_.load()) return problem;
    std::lock_guard<std::mutex> hold(lock_);
    if (sender_) runtime_.destroySender(sender_);
    sender_ = runtime_.createSender(name.c_str());
    if (!sender_) return std::string("NDI sender creation failed");
    return std::nullopt;
}

void NDIOutput::stop() {
    std::lock_guard<std::mutex> hold(lock_);
    if (sender_) runtime_.destroySender(sender_);
    sender_ = nullptr;
}

void NDIOutput::sendVideo(std::span<const std::uint8_t> frame) {
    // A frame shorter than the fixed geometry would be read past its end.
    if (frame.size() < kFrameBytes) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (!sender_) return;
    runtime_.sendVideo(sender_, frame.data(), kWidth, kHeight, 30, 1);
}

void NDIOutput::sendAudio(const float* samples, std::size_t count, int channels, int sampleRate) {
    if (!samples || channels < 1) return;
    constexpr auto kLargest = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    if (count > kLargest) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (!sender_) return;
    runtime_.sendAudio(sender_, samples,
                       static_cast<std::int32_t>(count / static_cast<std::size_t>(channels)),
                       channels, sampleRate);
}

std::optional<int> NDIOutput::connectionCount() {
    // One critical section: between a look at the sender and the question, a
    // stop must not destroy it.
    std::lock_guard<std::mutex> hold(lock_);
    if (!sender_) return std::nullopt;
    return runtime_.connectionCount(sender_);
}

}  // namespace vsc
