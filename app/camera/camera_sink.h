#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

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
using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// The application's end of the camera: it connects to the camera's sink
// stream, fills pooled pixel buffers and queues them to the camera.
class CameraSink {
public:
    virtual ~CameraSink() = default;
    // None on success, else the reason shown to the user.
    virtual std::optional<std::string> connect() = 0;
    virtual void disconnect() = 0;
    // A pooled buffer holding a copy of the frame; none while disconnected or
    // when no buffer is free.
    virtual PixelBufferRef makePixelBuffer(std::span<const std::uint8_t> frame) = 0;
    // Queues the buffer to the camera, or counts a drop when the queue is full.
    virtual void send(PixelBufferRef buffer) = 0;
    virtual std::int64_t droppedFrames() = 0;
};

}  // namespace vsc
