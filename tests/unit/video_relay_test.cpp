// The frame's way from ffmpeg's pipe to the camera without copies of ours: a
// frame sent at once is read into a buffer the camera's queue lends, which
// then goes to the camera as it is; everything else takes a pooled picture.
#include <gtest/gtest.h>

#include <cstring>

#include "app/camera/camera_sink.h"
#include "platform/frame_copies.h"

namespace {

using vsc::CameraObjectId;

// A camera queue that lends buffers of its own, as the PipeWire link does.
class LendingQueue final : public vsc::SampleQueue {
  public:
    std::int32_t held = 0;
    std::int32_t spare = 2;  // buffers it can lend
    std::vector<vsc::PixelBufferRef> lentOut, enqueued;
    std::int32_t count() override { return held; }
    std::int32_t capacity() override { return 4; }
    std::int32_t enqueue(const vsc::PixelBufferRef& buffer, std::uint64_t) override {
        enqueued.push_back(buffer);
        ++held;
        return 0;
    }
    vsc::PixelBufferRef lend() override {
        if (spare == 0) return nullptr;
        --spare;
        struct Lent final : vsc::PixelBuffer {
            std::vector<std::uint8_t> bytes =
                std::vector<std::uint8_t>(vsc::CameraSink::kFrameBytes);
        };
        auto picture = std::make_shared<Lent>();
        picture->width = 1920;
        picture->height = 1080;
        picture->luma = picture->bytes.data();
        picture->lumaStride = 1920;
        picture->chroma = picture->bytes.data() + 1920 * 1080;
        picture->chromaStride = 1920;
        lentOut.push_back(picture);
        return picture;
    }
};

class OneCamera final : public vsc::CameraSystem {
  public:
    std::shared_ptr<LendingQueue> queue = std::make_shared<LendingQueue>();
    std::int32_t propertyDataSize(CameraObjectId o, std::uint32_t, std::uint32_t* size) override {
        *size = o == vsc::kSystemObject ? 4 : 8;
        return 0;
    }
    std::int32_t propertyData(CameraObjectId o, std::uint32_t, std::uint32_t,
                              std::uint32_t* data) override {
        data[0] = 40;
        if (o != vsc::kSystemObject) data[1] = 41;
        return 0;
    }
    std::optional<std::string> stringProperty(CameraObjectId o, std::uint32_t) override {
        return o == 41 ? "VSC Program.Sink" : "Vendaroscope Program";
    }
    std::int32_t copyBufferQueue(CameraObjectId, std::shared_ptr<vsc::SampleQueue>* q) override {
        *q = queue;
        return 0;
    }
    std::int32_t startStream(CameraObjectId, CameraObjectId) override { return 0; }
    std::int32_t stopStream(CameraObjectId, CameraObjectId) override { return 0; }
    std::uint64_t hostTimeNs() override { return 1; }
};

TEST(VideoRelay, AFrameSentAtOnceGoesToTheCameraInTheBufferItWasReadInto) {
    auto system = std::make_shared<OneCamera>();
    auto& queue = *system->queue;
    vsc::CameraSink sink(system);
    EXPECT_EQ(sink.emptyPixelBuffer(true), nullptr);  // not connected: nowhere to read to
    ASSERT_EQ(sink.connect(), std::nullopt);
    const auto copiesBefore = vsc::frameCopies().pixelBufferCopies.load();

    // Sent at once: one of the queue's own buffers, whole and contiguous,
    // enqueued as it is.
    auto lent = sink.emptyPixelBuffer(true);
    ASSERT_TRUE(lent);
    ASSERT_EQ(queue.lentOut.size(), 1u);
    EXPECT_EQ(lent, queue.lentOut[0]);
    EXPECT_EQ(lent->chroma, lent->luma + 1920 * 1080);
    std::memset(lent->luma, 7, vsc::CameraSink::kFrameBytes);
    sink.send(lent);
    ASSERT_EQ(queue.enqueued.size(), 1u);
    EXPECT_EQ(queue.enqueued[0], lent);

    // For the delay a pooled picture, never a buffer of the queue: those
    // must not wait out the delay.
    auto delayed = sink.emptyPixelBuffer(false);
    ASSERT_TRUE(delayed);
    EXPECT_EQ(queue.lentOut.size(), 1u);
    EXPECT_EQ(delayed->lumaStride, 1920u);
    EXPECT_EQ(delayed->chroma, delayed->luma + 1920 * 1080);

    // No buffer to lend: a pooled picture all the same, and a full queue
    // drops what was read into a lent buffer like any other picture.
    auto second = sink.emptyPixelBuffer(true);
    queue.spare = 0;
    auto pooled = sink.emptyPixelBuffer(true);
    ASSERT_TRUE(pooled);
    EXPECT_EQ(queue.lentOut.size(), 2u);
    queue.held = 4;
    sink.send(second);
    EXPECT_EQ(queue.enqueued.size(), 1u);
    EXPECT_EQ(sink.droppedFrames(), 1);
    EXPECT_EQ(vsc::frameCopies().pixelBufferCopies.load(), copiesBefore);

    // A pool whose rows are padded cannot take a frame read in one piece.
    vsc::CameraSink padded(system, 1984);
    ASSERT_EQ(padded.connect(), std::nullopt);
    EXPECT_EQ(padded.emptyPixelBuffer(true), nullptr);
    EXPECT_EQ(padded.emptyPixelBuffer(false), nullptr);
}

}  // namespace
