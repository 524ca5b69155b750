#include "camera-extension/framework/framework.h"

#include <algorithm>
#include <atomic>

#include "platform/clock.h"
#include "platform/journal_log.h"

namespace vsc::cam {

std::uint64_t Picture::nextIdentity() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

void Stream::attach(std::shared_ptr<StreamBackend> backend) {
    std::lock_guard<std::mutex> hold(mutex_);
    backend_ = std::move(backend);
}

std::shared_ptr<StreamBackend> Stream::backend() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return backend_;
}

void Stream::consumeSampleBuffer(const Client& client, StreamBackend::ConsumeHandler handler) {
    if (auto b = backend()) {
        b->consumeSampleBuffer(client, std::move(handler));
    } else {
        handler(std::nullopt, 0, false);  // not published: nothing to take
    }
}

void Stream::notifyScheduledOutputChanged(std::uint64_t sequence, std::uint64_t hostTimeNs) {
    if (auto b = backend()) b->notifyScheduledOutputChanged(sequence, hostTimeNs);
}

void Stream::sendSampleBuffer(const SampleBuffer& buffer, std::uint64_t hostTimeNs) {
    if (auto b = backend()) b->sendSampleBuffer(buffer, hostTimeNs);
}

std::optional<Error> Device::addStream(Stream& stream) {
    if (std::find(streams_.begin(), streams_.end(), &stream) != streams_.end())
        return Error{"stream already added"};
    streams_.push_back(&stream);
    return std::nullopt;
}

std::optional<Error> Provider::addDevice(Device& device) {
    if (std::find(devices_.begin(), devices_.end(), &device) != devices_.end())
        return Error{"device already added"};
    devices_.push_back(&device);
    return std::nullopt;
}

std::uint64_t SystemHost::nowNs() {
    return monotonicNanoseconds();
}

std::shared_ptr<RepeatingTimer> SystemHost::makeTimer(SerialQueue& queue, double interval,
                                                      double /*leeway*/, Task tick) {
    // The queue's timers keep absolute deadlines, well inside a 2 ms leeway.
    return dynamic_cast<ThreadSerialQueue&>(queue).scheduleRepeating(interval, std::move(tick));
}

void SystemHost::log(const std::string& message) {
    journalLog("com.vendaroscope.virtualcam.camera", "extension", message);
}

}  // namespace vsc::cam
