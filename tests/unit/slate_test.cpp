#include "camera-extension/slate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr std::size_t kLumaBytes = static_cast<std::size_t>(kWidth) * kHeight;

struct Rgb {
    double r, g, b;
};
constexpr Rgb kBackground{0.07, 0.08, 0.10};
constexpr Rgb kTitle{0.95, 0.95, 0.97};
constexpr Rgb kSubtitle{0.55, 0.58, 0.64};

// Rows and columns spanned by the pixels whose B, G and R each lie within
// `tolerance` of `colour` (so only the fully inked part of the glyphs).
struct Box {
    int left = kWidth, top = kHeight, right = -1, bottom = -1;
    bool empty() const { return right < 0; }
    double centreX() const { return (left + right + 1) * 0.5; }
    int height() const { return bottom - top + 1; }
};

bool near(const std::uint8_t* bgra, Rgb colour, int tolerance) {
    return std::abs(bgra[0] - colour.b * 255) <= tolerance &&
           std::abs(bgra[1] - colour.g * 255) <= tolerance &&
           std::abs(bgra[2] - colour.r * 255) <= tolerance;
}

Box inkBox(const std::vector<std::uint8_t>& bgra, Rgb colour, int tolerance) {
    Box box;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            if (near(&bgra[(static_cast<std::size_t>(y) * kWidth + x) * 4], colour, tolerance)) {
                box.left = std::min(box.left, x);
                box.right = std::max(box.right, x);
                box.top = std::min(box.top, y);
                box.bottom = std::max(box.bottom, y);
            }
    return box;
}

// 8-bit BT.709 video-range Y'CbCr of a full-range RGB colour.
struct YCbCr {
    double y, cb, cr;
};
YCbCr videoRange709(Rgb c) {
    const double luma = 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
    return {16 + 219 * luma, 128 + 224 * (c.b - luma) / 1.8556, 128 + 224 * (c.r - luma) / 1.5748};
}

int lumaAt(const vsc::Nv12Picture& p, int x, int y) {
    return p.bytes[static_cast<std::size_t>(y) * p.width + x];
}
int cbAt(const vsc::Nv12Picture& p, int x, int y) {
    return p.bytes[kLumaBytes + static_cast<std::size_t>(y / 2) * p.width + (x / 2) * 2];
}
int crAt(const vsc::Nv12Picture& p, int x, int y) {
    return p.bytes[kLumaBytes + static_cast<std::size_t>(y / 2) * p.width + (x / 2) * 2 + 1];
}

const char* const kProductTitle = "Vendaroscope Program";
const char* const kProductSubtitle = "Waiting for program\u2026";

}  // namespace

TEST(Slate, ProductSlateIsFullSizeNv12OnTheVideoRangeBackground) {
    const auto picture = vsc::renderSlate(kProductTitle, kProductSubtitle);
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width, kWidth);
    EXPECT_EQ(picture->height, kHeight);
    ASSERT_EQ(picture->bytes.size(), 3'110'400u);

    const YCbCr expected = videoRange709(kBackground);
    for (const auto& [x, y] : {std::pair{100, 100}, std::pair{1800, 1000}, std::pair{960, 200}}) {
        EXPECT_NEAR(lumaAt(*picture, x, y), expected.y, 2) << x << "," << y;
        EXPECT_NEAR(cbAt(*picture, x, y), expected.cb, 2) << x << "," << y;
        EXPECT_NEAR(crAt(*picture, x, y), expected.cr, 2) << x << "," << y;
    }
}

TEST(Slate, TitleAndSubtitleInkIsCentredOnItsBaseline) {
    int stride = 0;
    // No descenders, so the lowest inked row is the baseline. The spaces have
    // advance but no ink: they must not pull the ink off centre.
    const auto bgra = vsc::renderSlateBgra("  VENDAROSCOPE", "WAITING   ", &stride);
    ASSERT_TRUE(bgra.has_value());
    ASSERT_EQ(stride, 4 * kWidth);
    ASSERT_EQ(bgra->size(), static_cast<std::size_t>(stride) * kHeight);

    const Box title = inkBox(*bgra, kTitle, 16);
    ASSERT_FALSE(title.empty());
    EXPECT_NEAR(title.centreX(), 960, 2);
    EXPECT_NEAR(title.bottom, 518, 2);  // baseline 561.6 px above the bottom edge
    EXPECT_GE(title.height(), 55);      // about the cap height of a 96 px face
    EXPECT_LE(title.height(), 80);

    // Tight enough that the title's anti-aliased edges never pass for subtitle ink.
    const Box subtitle = inkBox(*bgra, kSubtitle, 6);
    ASSERT_FALSE(subtitle.empty());
    EXPECT_NEAR(subtitle.centreX(), 960, 2);
    EXPECT_NEAR(subtitle.bottom, 648, 2);  // baseline 432 px above the bottom edge
    EXPECT_GE(subtitle.height(), 25);      // about the cap height of a 44 px face
    EXPECT_LE(subtitle.height(), 37);
}

TEST(Slate, TitleStrokesStayBrightAfterConversion) {
    const auto bgra = vsc::renderSlateBgra(kProductTitle, kProductSubtitle);
    const auto nv12 = vsc::renderSlate(kProductTitle, kProductSubtitle);
    ASSERT_TRUE(bgra.has_value());
    ASSERT_TRUE(nv12.has_value());

    // The first pixel whose whole 3x3 neighbourhood is title ink: inside a stroke.
    auto inStroke = [&](int x, int y) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (!near(&(*bgra)[(static_cast<std::size_t>(y + dy) * kWidth + x + dx) * 4],
                          kTitle, 8))
                    return false;
        return true;
    };
    int found = 0;
    for (int y = 1; y < kHeight - 1 && found < 20; ++y)
        for (int x = 1; x < kWidth - 1 && found < 20; ++x)
            if (inStroke(x, y)) {
                ++found;
                EXPECT_GT(lumaAt(*nv12, x, y), 180) << x << "," << y;
            }
    EXPECT_EQ(found, 20);
}

TEST(Slate, EmptyTextsGiveThePlainBackground) {
    const auto bgra = vsc::renderSlateBgra("", "");
    ASSERT_TRUE(bgra.has_value());
    ASSERT_EQ(bgra->size(), kLumaBytes * 4);
    const std::uint8_t* first = bgra->data();
    EXPECT_TRUE(near(first, kBackground, 1));
    EXPECT_EQ(first[3], 255);
    std::size_t differing = 0;
    for (std::size_t i = 0; i < bgra->size(); ++i) differing += (*bgra)[i] != first[i % 4];
    EXPECT_EQ(differing, 0u);
}
