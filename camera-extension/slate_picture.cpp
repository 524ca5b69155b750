#include "camera-extension/slate_picture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "camera-extension/slate.h"
#include "platform/process.h"

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

bool drawSlateTo(int fd, const std::string& title, const std::string& subtitle) {
    auto picture = renderSlate(title, subtitle);
    if (!picture) return false;
    const std::uint8_t* bytes = picture->bytes.data();
    std::size_t left = picture->bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, bytes, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

PictureRef renderSlatePictureApart(const std::string& program, const std::string& title,
                                   const std::string& subtitle) {
    Pipe out;
    if (makePipe(out)) {
        SpawnRequest request;
        request.path = program;
        request.args = {"--draw-slate", title, subtitle};
        request.descriptors = {{0, ChildDescriptor::Kind::NullForReading, -1},
                               {1, ChildDescriptor::Kind::Inherit, out.writeEnd},
                               {2, ChildDescriptor::Kind::Inherit, STDERR_FILENO}};
        SpawnResult child = spawnProcess(request);
        closeDescriptor(out.writeEnd);
        Nv12Picture picture;
        picture.width = kSlateWidth;
        picture.height = kSlateHeight;
        picture.bytes.resize(static_cast<std::size_t>(kSlateWidth) * kSlateHeight * 3 / 2);
        std::size_t filled = 0;
        while (child.pid > 0 && filled < picture.bytes.size()) {
            ssize_t n =
                ::read(out.readEnd, picture.bytes.data() + filled, picture.bytes.size() - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            filled += static_cast<std::size_t>(n);
        }
        closeDescriptor(out.readEnd);
        int status = child.pid > 0 ? waitForChild(child.pid) : -1;
        if (filled == picture.bytes.size() && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return std::make_shared<OwnedPicture>(std::move(picture));
    }
    return renderSlatePicture(title, subtitle);
}

}  // namespace vsc::cam
