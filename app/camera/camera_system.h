#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vsc {

struct PixelBuffer;
using PixelBufferRef = std::shared_ptr<PixelBuffer>;

using CameraObjectId = std::uint32_t;

constexpr std::uint32_t cameraSelector(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}
inline constexpr std::uint32_t kSelectorDevices = cameraSelector("dev#");
inline constexpr std::uint32_t kSelectorStreams = cameraSelector("stm#");
inline constexpr std::uint32_t kSelectorName = cameraSelector("lnam");
// The object standing for the whole system: its device list is the cameras.
inline constexpr CameraObjectId kSystemObject = 1;

// The buffer queue of a camera's sink stream, shared with the camera.
class SampleQueue {
  public:
    virtual ~SampleQueue() = default;
    virtual std::int32_t count() = 0;
    virtual std::int32_t capacity() = 0;
    // Hands the picture to the camera, stamped with the host time; its status.
    virtual std::int32_t enqueue(const PixelBufferRef& buffer, std::uint64_t hostTimeNs) = 0;
    // A free buffer of the queue itself as a picture to fill: enqueued, it
    // goes to the camera without a copy; dropped, it is free again. Its two
    // planes lie back to back at the picture's width. None when no buffer is
    // free or the queue cannot lend its buffers. Lent buffers do not count.
    virtual PixelBufferRef lend() { return nullptr; }
    // A started stream becomes ready once the camera has taken it; until
    // then the queue has no room. A negative error number once it cannot
    // carry pictures any more, else 0.
    virtual bool ready() { return true; }
    virtual std::int32_t status() { return 0; }
    // Called on any thread when ready() or status() may have changed.
    virtual void setOnChange(std::function<void()> onChange) { (void)onChange; }
};

// The system's cameras as the application sees them: objects with properties
// (lists of ids, names) and the start and stop of a stream. Statuses are 0 on
// success, else a negative error number.
class CameraSystem {
  public:
    virtual ~CameraSystem() = default;
    virtual std::int32_t propertyDataSize(CameraObjectId object, std::uint32_t selector,
                                          std::uint32_t* size) = 0;
    virtual std::int32_t propertyData(CameraObjectId object, std::uint32_t selector,
                                      std::uint32_t size, std::uint32_t* data) = 0;
    // A string property ('lnam'); none when it cannot be read.
    virtual std::optional<std::string> stringProperty(CameraObjectId object,
                                                      std::uint32_t selector) = 0;
    virtual std::int32_t copyBufferQueue(CameraObjectId stream,
                                         std::shared_ptr<SampleQueue>* queue) = 0;
    virtual std::int32_t startStream(CameraObjectId device, CameraObjectId stream) = 0;
    virtual std::int32_t stopStream(CameraObjectId device, CameraObjectId stream) = 0;
    // Host time: the monotonic clock in nanoseconds.
    virtual std::uint64_t hostTimeNs() = 0;
    // Which object an id names: the system may give a freed id to a new
    // object, so an id names the same object as before only while this
    // stays the same. 0 when the system cannot tell.
    virtual std::uint64_t objectIdentity(CameraObjectId object) {
        (void)object;
        return 0;
    }
};

}  // namespace vsc
