#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/camera/camera_system.h"

namespace vsc {

// One NV12 picture on its way to the camera: a luma plane and an interleaved
// chroma plane, each with its own row stride (which may exceed the width).
struct PixelBuffer {
    int width = 0;
    int height = 0;
    std::uint8_t* luma = nullptr;
    std::size_t lumaStride = 0;
    std::uint8_t* chroma = nullptr;
    std::size_t chromaStride = 0;
    virtual ~PixelBuffer() = default;
};

// Recycles NV12 pictures of one size and stride: a buffer dropped by its last
// holder goes back to the pool, so none is allocated per frame once warm. At
// most kKeptIdle buffers wait unused; more are freed, so a moment that needed
// many pictures (a long video delay, a burst after the studio came back)
// does not keep their memory for the rest of the session.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
  public:
    static constexpr std::size_t kKeptIdle = 6;
    PixelBufferPool(int width, int height, std::size_t stride, std::size_t maximum);
    ~PixelBufferPool();
    // None when `maximum` buffers are out already.
    PixelBufferRef create();
    // Buffers in use plus those waiting unused.
    std::size_t allocated();

  private:
    struct Storage;
    const int width_, height_;
    const std::size_t stride_, maximum_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Storage>> free_;
    std::size_t allocated_ = 0;
};

// The application's end of the camera: finds the camera "Vendaroscope Program"
// and its sink stream, starts the stream, copies each programme frame into a
// pooled picture and queues it to the camera, counting the frames that find
// the queue full.
class CameraSink {
  public:
    static constexpr int kWidth = 1920;
    static constexpr int kHeight = 1080;
    static constexpr std::size_t kFrameBytes = 1920 * 1080 * 3 / 2;
    static constexpr const char* kDeviceName = "Vendaroscope Program";
    static constexpr const char* kLegacyDeviceName = "VSC Program";
    static constexpr const char* kSinkStreamName = "VSC Program.Sink";

    // stride: the pool's row stride (at least 1920).
    explicit CameraSink(std::shared_ptr<CameraSystem> system, std::size_t stride = kWidth);
    virtual ~CameraSink() = default;

    // None on success (or when already connected), else the reason for the
    // user. Success means the stream was started; the camera takes it a
    // moment later (ready()), and pictures until then find no room.
    virtual std::optional<std::string> connect();
    virtual void disconnect();
    virtual PixelBufferRef makePixelBuffer(std::span<const std::uint8_t> frame);
    // A picture for the next frame to be read into, so that it needs no copy
    // of the sink's: for a frame sent at once a free buffer of the camera's
    // queue when it has one, else a pooled picture. Its planes lie back to
    // back (kFrameBytes in all). None while not connected, or when the pool's
    // stride leaves gaps between rows.
    virtual PixelBufferRef emptyPixelBuffer(bool sentAtOnce);
    virtual void send(PixelBufferRef buffer);
    virtual std::int64_t droppedFrames();

    virtual std::optional<CameraObjectId> findCameraDevice();
    virtual std::optional<std::string> objectName(CameraObjectId object);
    std::vector<CameraObjectId> objectList(CameraObjectId object, std::uint32_t selector);

    virtual bool isConnected();
    // Connected and still to the device that `device` names now.
    virtual bool isConnectedTo(CameraObjectId device);
    // The camera has taken the started stream.
    virtual bool ready();
    // Why a started stream cannot carry pictures, for the user: it failed,
    // or the camera did not take it within kStartTimeLimit. None while it
    // works or may still start.
    virtual std::optional<std::string> streamProblem();
    // Called on any thread when ready() or streamProblem() may have changed;
    // set before connecting.
    std::function<void()> onStreamChange;

    static constexpr std::uint64_t kStartTimeLimitNs = 3'000'000'000ull;

  private:
    std::shared_ptr<CameraSystem> system_;
    const std::size_t stride_;
    std::mutex lock_;
    bool isConnected_ = false;
    std::int64_t droppedFrames_ = 0;
    CameraObjectId deviceID_ = 0;
    CameraObjectId streamID_ = 0;
    std::uint64_t deviceIdentity_ = 0;
    std::uint64_t startedAt_ = 0;
    std::shared_ptr<SampleQueue> queue_;
    std::shared_ptr<PixelBufferPool> pool_;
};

}  // namespace vsc
