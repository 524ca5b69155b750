#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vsc {

// An 8-bit NV12 picture in video range: the luma plane (stride = width)
// followed by the interleaved CbCr plane (stride = width), width*height*3/2 bytes.
struct Nv12Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bytes;
};

// Size of the slate, the camera's native format.
inline constexpr int kSlateWidth = 1920;
inline constexpr int kSlateHeight = 1080;

// Draws the waiting slate (dark background, centred title, dimmer subtitle
// below it) in BGRA and converts it once to NV12 (BT.709, video range).
// None when the drawing surface cannot be created or the conversion fails.
std::optional<Nv12Picture> renderSlate(const std::string& title, const std::string& subtitle);

// The same picture before conversion: BGRA bytes (B,G,R,A in memory) with a
// stride of 4*width, for tests and previews. `stride`, when given, receives
// the row stride in bytes.
std::optional<std::vector<std::uint8_t>> renderSlateBgra(const std::string& title,
                                                         const std::string& subtitle,
                                                         int* stride = nullptr);

}  // namespace vsc
