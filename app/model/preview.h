#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "app/camera/camera_sink.h"

namespace vsc {

// A still of the programme for the panel: 640 x 360, RGB, 3 bytes a pixel.
struct PreviewImage {
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 360;
    int width = kWidth;
    int height = kHeight;
    std::vector<std::uint8_t> rgb;
};

// Scales the picture uniformly to 640 pixels wide and keeps the 640 x 360
// rectangle from its top-left corner (black where the picture is shorter).
std::optional<PreviewImage> renderPreview(const PixelBuffer& picture);

}  // namespace vsc
