#include "app/model/preview.h"

#include <gtest/gtest.h>

namespace {

// An NV12 picture: white left half, black right half, or rows split at `split`.
struct Picture {
    std::vector<std::uint8_t> bytes;
    vsc::PixelBuffer buffer;
    Picture(int width, int height, std::size_t stride, bool splitRows) {
        bytes.assign(stride * static_cast<std::size_t>(height) * 3 / 2, 128);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                bytes[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)] =
                    (splitRows ? y < height / 2 : x < width / 2) ? 235 : 16;
        buffer.width = width;
        buffer.height = height;
        buffer.luma = bytes.data();
        buffer.lumaStride = stride;
        buffer.chroma = bytes.data() + stride * static_cast<std::size_t>(height);
        buffer.chromaStride = stride;
    }
};

int rgbAt(const vsc::PreviewImage& image, int x, int y) {
    return image.rgb[(static_cast<std::size_t>(y) * 640 + static_cast<std::size_t>(x)) * 3];
}

TEST(Preview, ScalesTheFrameToSixFortyByThreeSixtyInRgb) {
    Picture picture(1920, 1080, 1984, false);  // a padded stride must not show
    auto image = vsc::renderPreview(picture.buffer);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 640);
    EXPECT_EQ(image->height, 360);
    ASSERT_EQ(image->rgb.size(), 640u * 360u * 3u);
    EXPECT_GE(rgbAt(*image, 100, 180), 250);  // white (video range) becomes full white
    EXPECT_LE(rgbAt(*image, 540, 180), 5);
}

TEST(Preview, ATallerPictureKeepsItsTopRows) {
    // 960 x 1080 scales to 640 x 720: the top half of it is the preview.
    Picture picture(960, 1080, 960, true);
    auto image = vsc::renderPreview(picture.buffer);
    ASSERT_TRUE(image);
    EXPECT_GE(rgbAt(*image, 320, 10), 250);
    EXPECT_GE(rgbAt(*image, 320, 340), 250);  // still the white top half of the picture
    vsc::PixelBuffer empty;
    EXPECT_FALSE(vsc::renderPreview(empty));
}

}  // namespace
