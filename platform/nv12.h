#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Interleaves `pairs` bytes of a U plane and of a V plane into an NV12
// chroma plane (U V U V ...): how a planar 4:2:0 picture becomes NV12.
inline void interleaveChroma(std::uint8_t* uv, const std::uint8_t* u, const std::uint8_t* v,
                             std::size_t pairs) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= pairs; i += 16) {
        const __m128i us = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
        const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * i), _mm_unpacklo_epi8(us, vs));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * i + 16), _mm_unpackhi_epi8(us, vs));
    }
#endif
    for (; i < pairs; ++i) {
        uv[2 * i] = u[i];
        uv[2 * i + 1] = v[i];
    }
}

}  // namespace vsc
