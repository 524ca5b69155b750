// The video path, the preview and the statistics tick.
#include <chrono>

#include "app/model/app_model.h"

namespace vsc {
namespace {

constexpr std::int64_t kPreviewIntervalMs = 250;

std::int64_t millisecondsSince1970(WallTime time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

// A picture lent to the receiver, and whether it was lent for sending at
// once (it may then be one of the camera link's own buffers).
struct LentPicture {
    PixelBufferRef picture;
    bool sentAtOnce = false;
};

}  // namespace

ProgramReceiver::FrameSlot AppModel::lendFrameSlot() {
    if (!sink_) return {};
    const bool atOnce = videoDelay_.load() < 1;
    PixelBufferRef picture = sink_->emptyPixelBuffer(atOnce);
    if (!picture || !picture->luma) return {};
    std::uint8_t* bytes = picture->luma;
    return {bytes, std::make_shared<LentPicture>(LentPicture{std::move(picture), atOnce})};
}

void AppModel::videoPath(std::span<const std::uint8_t> frame) {
    videoPath(frame, {});
}

void AppModel::videoPath(std::span<const std::uint8_t> frame, ProgramReceiver::FrameSlot slot) {
    frameCounter_.increment();
    // NDI takes every frame at once, without the video delay.
    ndi_->sendVideo(frame);
    if (!sink_) return;
    std::int64_t delay = videoDelay_.load();
    PixelBufferRef buffer;
    if (auto lent = std::static_pointer_cast<LentPicture>(slot.holder)) {
        // Read in place. A buffer of the link must not wait out a delay that
        // was set while it was being filled: the delay gets a pooled copy.
        if (delay < 1 || !lent->sentAtOnce) buffer = std::move(lent->picture);
    }
    if (!buffer) buffer = sink_->makePixelBuffer(frame);
    if (!buffer) return;
    makePreview(*buffer);
    if (delay < 1) {
        sink_->send(std::move(buffer));
        return;
    }
    // The serial queue keeps the pictures in order: the camera shows the same
    // sequence, shifted by the delay.
    std::shared_ptr<CameraSink> sink = sink_;
    videoQueue_->asyncAfter(static_cast<double>(delay) / 1000.0,
                            [sink, buffer] { sink->send(buffer); });
}

void AppModel::makePreview(const PixelBuffer& picture) {
    if (previewWanted.load() != 1) return;
    std::int64_t now = millisecondsSince1970(ports_.main->now());
    if (now - lastPreviewAt_.load() < kPreviewIntervalMs) return;
    lastPreviewAt_.store(now);
    auto image = ports_.previewRenderer(picture);
    if (!image) return;
    std::weak_ptr<AppModel> weak = weak_from_this();
    ports_.main->post([weak, image = std::move(*image)]() mutable {
        auto self = weak.lock();
        if (self && self->previewWanted.load() == 1 && self->running.value_)
            self->publish(self->preview, std::optional<PreviewImage>(std::move(image)));
    });
}

void AppModel::statisticsTick() {
    std::int64_t count = frameCounter_.take();
    publish(inputFps, static_cast<double>(count) * 2.0);
    if (running.value_) {
        if (inputFps.value_ > 0) {
            silentTicks_ = 0;
            if (!receivingProgram.value_) publish(receivingProgram, true);
            hadProgramSinceStart_ = true;
        } else {
            ++silentTicks_;
            if (silentTicks_ >= 3 && receivingProgram.value_) publish(receivingProgram, false);
        }
    }
    checkProgramHealth();
    notifyProblems();
    updateMenuBarIcon();
    if (sink_) publish(droppedFrames, sink_->droppedFrames());
    if (auto receivers = ndi_->connectionCount()) {
        std::string status = "On · " + std::to_string(*receivers) + " receiver";
        if (*receivers != 1) status += "s";
        if (status != ndiStatus.value_) publish(ndiStatus, status);
    }
}

}  // namespace vsc
