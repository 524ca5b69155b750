#include "camera-extension/slate_picture.h"

#include "camera-extension/slate.h"

namespace vsc::cam {
namespace {

class OwnedPicture final : public Picture {
  public:
    explicit OwnedPicture(Nv12Picture picture) : p_(std::move(picture)) {}
    int width() const override { return p_.width; }
    int height() const override { return p_.height; }
    const std::uint8_t* luma() const override { return p_.bytes.data(); }
    std::size_t lumaStride() const override { return static_cast<std::size_t>(p_.width); }
    const std::uint8_t* chroma() const override {
        return p_.bytes.data() +
               static_cast<std::size_t>(p_.width) * static_cast<std::size_t>(p_.height);
    }
    std::size_t chromaStride() const override { return static_cast<std::size_t>(p_.width); }

  private:
    Nv12Picture p_;
};

}  // namespace

PictureRef renderSlatePicture(const std::string& title, const std::string& subtitle) {
    auto picture = renderSlate(title, subtitle);
    if (!picture) return nullptr;
    return std::make_shared<OwnedPicture>(std::move(*picture));
}

}  // namespace vsc::cam
