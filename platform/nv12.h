#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vsc {

// Copies `rows` rows of `rowBytes` bytes between planes of different strides.
inline void copyPlane(std::uint8_t* target, std::size_t targetStride, const std::uint8_t* source,
                      std::size_t sourceStride, std::size_t rowBytes, std::size_t rows) {
    if (targetStride == rowBytes && sourceStride == rowBytes) {
        std::memcpy(target, source, rowBytes * rows);
        return;
    }
    for (std::size_t r = 0; r < rows; ++r)
        std::memcpy(target + r * targetStride, source + r * sourceStride, rowBytes);
}

// Copies an NV12 picture (separate luma and chroma planes) into one buffer
// holding the luma plane followed by the chroma plane, both at `stride`.
inline void copyNv12Into(std::uint8_t* target, std::size_t stride, const std::uint8_t* luma,
                         std::size_t lumaStride, const std::uint8_t* chroma,
                         std::size_t chromaStride, std::size_t width, std::size_t height) {
    copyPlane(target, stride, luma, lumaStride, width, height);
    copyPlane(target + stride * height, stride, chroma, chromaStride, width, height / 2);
}

}  // namespace vsc
