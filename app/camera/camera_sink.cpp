#include "app/camera/camera_sink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/frame_copies.h"
#include "platform/journal_log.h"
#include "platform/nv12.h"

namespace vsc {
namespace {

std::string startFailure(std::int32_t status) {
    return "CMIODeviceStartStream failed (" + std::to_string(status) + ").";
}

// Up to a second of delayed pictures at 60 fps, and some to spare.
constexpr std::size_t kPoolMaximum = 96;

}  // namespace

// ---- the pool ----

struct PixelBufferPool::Storage {
    std::unique_ptr<std::uint8_t, decltype(&std::free)> bytes{nullptr, &std::free};
};

PixelBufferPool::PixelBufferPool(int width, int height, std::size_t stride, std::size_t maximum)
    : width_(width), height_(height), stride_(stride), maximum_(maximum) {}

PixelBufferPool::~PixelBufferPool() = default;

std::size_t PixelBufferPool::allocated() {
    std::lock_guard<std::mutex> hold(mutex_);
    return allocated_;
}

PixelBufferRef PixelBufferPool::create() {
    std::unique_ptr<Storage> storage;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!free_.empty()) {
            storage = std::move(free_.back());
            free_.pop_back();
        } else if (allocated_ < maximum_) {
            ++allocated_;
        } else {
            return nullptr;
        }
    }
    const std::size_t lumaBytes = stride_ * static_cast<std::size_t>(height_);
    const std::size_t total = lumaBytes + stride_ * static_cast<std::size_t>(height_ / 2);
    if (!storage) {
        storage = std::make_unique<Storage>();
        storage->bytes.reset(
            static_cast<std::uint8_t*>(std::aligned_alloc(64, (total + 63) / 64 * 64)));
        if (!storage->bytes) {
            std::lock_guard<std::mutex> hold(mutex_);
            --allocated_;
            return nullptr;
        }
    }
    // The picture hands its storage back to the pool when its last holder lets go.
    struct Pooled final : PixelBuffer {
        std::unique_ptr<Storage> storage;
        std::weak_ptr<PixelBufferPool> pool;
        ~Pooled() override {
            if (auto p = pool.lock()) {
                std::lock_guard<std::mutex> hold(p->mutex_);
                if (p->free_.size() < kKeptIdle) {
                    p->free_.push_back(std::move(storage));
                    return;
                }
                --p->allocated_;
            }
            // `storage` is freed as this picture goes, outside the pool's lock.
        }
    };
    auto buffer = std::make_shared<Pooled>();
    buffer->width = width_;
    buffer->height = height_;
    buffer->luma = storage->bytes.get();
    buffer->lumaStride = stride_;
    buffer->chroma = storage->bytes.get() + lumaBytes;
    buffer->chromaStride = stride_;
    buffer->storage = std::move(storage);
    buffer->pool = weak_from_this();
    return buffer;
}

// ---- the sink ----

CameraSink::CameraSink(std::shared_ptr<CameraSystem> system, std::size_t stride)
    : system_(std::move(system)), stride_(stride < kWidth ? kWidth : stride) {}

std::vector<CameraObjectId> CameraSink::objectList(CameraObjectId object, std::uint32_t selector) {
    if (!system_) return {};
    std::uint32_t size = 0;
    if (system_->propertyDataSize(object, selector, &size) != 0 || size < 4) return {};
    std::vector<CameraObjectId> ids(size / 4, 0);
    if (system_->propertyData(object, selector, static_cast<std::uint32_t>(ids.size() * 4),
                              ids.data()) != 0)
        return {};
    return ids;
}

std::optional<std::string> CameraSink::objectName(CameraObjectId object) {
    if (!system_) return std::nullopt;
    return system_->stringProperty(object, kSelectorName);
}

std::optional<CameraObjectId> CameraSink::findCameraDevice() {
    for (CameraObjectId id : objectList(kSystemObject, kSelectorDevices)) {
        auto name = objectName(id);
        if (!name) continue;
        if (*name == kDeviceName || *name == kLegacyDeviceName) return id;
    }
    return std::nullopt;
}

bool CameraSink::isConnected() {
    std::lock_guard<std::mutex> hold(lock_);
    return isConnected_;
}

bool CameraSink::isConnectedTo(CameraObjectId device) {
    std::lock_guard<std::mutex> hold(lock_);
    return isConnected_ && deviceID_ == device &&
           deviceIdentity_ == (system_ ? system_->objectIdentity(device) : 0);
}

bool CameraSink::ready() {
    std::lock_guard<std::mutex> hold(lock_);
    return isConnected_ && queue_ && queue_->ready();
}

std::optional<std::string> CameraSink::streamProblem() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!isConnected_ || !queue_) return std::nullopt;
    if (std::int32_t status = queue_->status(); status != 0) return startFailure(status);
    if (!queue_->ready() && system_->hostTimeNs() - startedAt_ >= kStartTimeLimitNs)
        return startFailure(-ETIMEDOUT);
    return std::nullopt;
}

std::optional<std::string> CameraSink::connect() {
    std::lock_guard<std::mutex> hold(lock_);
    if (isConnected_) return std::nullopt;
    auto device = findCameraDevice();
    if (!device)
        return std::string("Camera “") + kDeviceName +
               "” not found — install/approve the camera extension first.";
    std::optional<CameraObjectId> stream;
    for (CameraObjectId id : objectList(*device, kSelectorStreams)) {
        auto name = objectName(id);
        if (name && *name == kSinkStreamName) {
            stream = id;
            break;
        }
    }
    if (!stream) return std::string("Sink stream not found on “") + kDeviceName + "”.";
    std::shared_ptr<SampleQueue> queue;
    std::int32_t status = system_->copyBufferQueue(*stream, &queue);
    if (status != 0 || !queue)
        return "CMIOStreamCopyBufferQueue failed (" + std::to_string(status) + ").";
    queue->setOnChange(onStreamChange);
    status = system_->startStream(*device, *stream);
    // On failure the queue goes with this function: nothing of the attempt stays.
    if (status != 0) return startFailure(status);
    deviceID_ = *device;
    streamID_ = *stream;
    deviceIdentity_ = system_->objectIdentity(*device);
    startedAt_ = system_->hostTimeNs();
    queue_ = std::move(queue);
    pool_ = std::make_shared<PixelBufferPool>(kWidth, kHeight, stride_, kPoolMaximum);
    isConnected_ = true;
    journalLog(kSubsystem, "sink",
               "sink connected (device " + std::to_string(deviceID_) + ", stream " +
                   std::to_string(streamID_) + ")");
    return std::nullopt;
}

void CameraSink::disconnect() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!isConnected_) return;
    system_->stopStream(deviceID_, streamID_);
    queue_.reset();
    pool_.reset();
    isConnected_ = false;
}

PixelBufferRef CameraSink::makePixelBuffer(std::span<const std::uint8_t> frame) {
    std::shared_ptr<PixelBufferPool> pool;
    {
        std::lock_guard<std::mutex> hold(lock_);
        pool = pool_;
    }
    if (!pool || frame.size() < kFrameBytes) return nullptr;
    PixelBufferRef buffer = pool->create();
    if (!buffer) return nullptr;
    // Row by row: the destination's stride may be wider than the picture.
    if (buffer->luma)
        copyPlane(buffer->luma, buffer->lumaStride, frame.data(), kWidth, kWidth, kHeight);
    if (buffer->chroma)
        copyPlane(buffer->chroma, buffer->chromaStride,
                  frame.data() + std::size_t{kWidth} * kHeight, kWidth, kWidth, kHeight / 2);
    FrameCopies::add(frameCopies().pixelBufferCopies);
    return buffer;
}

PixelBufferRef CameraSink::emptyPixelBuffer(bool sentAtOnce) {
    std::shared_ptr<PixelBufferPool> pool;
    std::shared_ptr<SampleQueue> queue;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!isConnected_ || stride_ != kWidth) return nullptr;
        pool = pool_;
        queue = queue_;
    }
    if (sentAtOnce && queue) {
        if (PixelBufferRef lent = queue->lend()) return lent;
    }
    return pool ? pool->create() : nullptr;
}

void CameraSink::send(PixelBufferRef buffer) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!isConnected_ || !queue_) return;
    if (queue_->count() >= queue_->capacity()) {
        ++droppedFrames_;
        return;
    }
    if (!buffer || buffer->width != kWidth || buffer->height != kHeight) return;
    queue_->enqueue(buffer, system_->hostTimeNs());
}

std::int64_t CameraSink::droppedFrames() {
    std::lock_guard<std::mutex> hold(lock_);
    return droppedFrames_;
}

}  // namespace vsc
