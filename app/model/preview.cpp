#include "app/model/preview.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>

namespace vsc {

std::optional<PreviewImage> renderPreview(const PixelBuffer& picture) {
    if (picture.width <= 0 || picture.height <= 0 || !picture.luma || !picture.chroma)
        return std::nullopt;
    const int scaledHeight = std::max(1, static_cast<int>(static_cast<long long>(picture.height) *
                                                          PreviewImage::kWidth / picture.width));
    SwsContext* context =
        sws_getContext(picture.width, picture.height, AV_PIX_FMT_NV12, PreviewImage::kWidth,
                       scaledHeight, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context) return std::nullopt;
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(PreviewImage::kWidth) * 3 *
                                     static_cast<std::size_t>(scaledHeight));
    const std::uint8_t* sources[4] = {picture.luma, picture.chroma, nullptr, nullptr};
    const int sourceStrides[4] = {static_cast<int>(picture.lumaStride),
                                  static_cast<int>(picture.chromaStride), 0, 0};
    std::uint8_t* targets[4] = {scaled.data(), nullptr, nullptr, nullptr};
    const int targetStrides[4] = {PreviewImage::kWidth * 3, 0, 0, 0};
    int rows =
        sws_scale(context, sources, sourceStrides, 0, picture.height, targets, targetStrides);
    sws_freeContext(context);
    if (rows <= 0) return std::nullopt;

    PreviewImage image;
    image.rgb.assign(static_cast<std::size_t>(PreviewImage::kWidth) * PreviewImage::kHeight * 3, 0);
    std::size_t keep = static_cast<std::size_t>(std::min(scaledHeight, PreviewImage::kHeight)) *
                       PreviewImage::kWidth * 3;
    std::copy_n(scaled.begin(), keep, image.rgb.begin());
    return image;
}

}  // namespace vsc
