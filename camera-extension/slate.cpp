#include "camera-extension/slate.h"

#include <cairo.h>
#include <glib.h>
#include <pango/pangocairo.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace vsc {
namespace {

// Colours and placement of the slate. Baselines are given as distances above
// the bottom edge (the layout was designed bottom-up); Cairo counts from the top.
struct Rgb {
    double r, g, b;
};
constexpr Rgb kBackground{0.07, 0.08, 0.10};
constexpr Rgb kTitleColour{0.95, 0.95, 0.97};
constexpr Rgb kSubtitleColour{0.55, 0.58, 0.64};
constexpr double kTitleSize = 96.0;
constexpr double kSubtitleSize = 44.0;
constexpr double kTitleBaselineAboveBottom = 561.6;
constexpr double kSubtitleBaselineAboveBottom = 432.0;

template <auto Release>
struct Releaser {
    template <typename T>
    void operator()(T* p) const {
        Release(p);
    }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, Releaser<cairo_surface_destroy>>;
using CairoPtr = std::unique_ptr<cairo_t, Releaser<cairo_destroy>>;
using FontOptionsPtr = std::unique_ptr<cairo_font_options_t, Releaser<cairo_font_options_destroy>>;
using FontDescriptionPtr =
    std::unique_ptr<PangoFontDescription, Releaser<pango_font_description_free>>;
using SwsPtr = std::unique_ptr<SwsContext, Releaser<sws_freeContext>>;
template <typename T>
using GObjectPtr = std::unique_ptr<T, Releaser<g_object_unref>>;

// One line of text in the desktop's sans-serif face at `pixels` (one pixel per
// point), its ink centred horizontally and its baseline at `baselineY` from the top.
void drawCentredLine(cairo_t* cr, PangoContext* context, const std::string& text, double pixels,
                     Rgb colour, double baselineY) {
    if (text.empty()) return;
    GObjectPtr<PangoLayout> layout(pango_layout_new(context));
    FontDescriptionPtr font(pango_font_description_from_string("Sans"));
    pango_font_description_set_absolute_size(font.get(), pixels * PANGO_SCALE);
    pango_layout_set_font_description(layout.get(), font.get());
    pango_layout_set_single_paragraph_mode(layout.get(), TRUE);

    // Pango wants valid UTF-8; damaged bytes become U+FFFD rather than a warning.
    gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    pango_layout_set_text(layout.get(), valid, -1);
    g_free(valid);

    PangoLayoutLine* line = pango_layout_get_line_readonly(layout.get(), 0);
    if (line == nullptr) return;
    PangoRectangle ink{};
    pango_layout_line_get_extents(line, &ink, nullptr);  // relative to the baseline origin
    const double inkX = static_cast<double>(ink.x) / PANGO_SCALE;
    const double inkWidth = static_cast<double>(ink.width) / PANGO_SCALE;

    cairo_set_source_rgb(cr, colour.r, colour.g, colour.b);
    cairo_move_to(cr, (kSlateWidth - inkWidth) * 0.5 - inkX, baselineY);
    pango_cairo_show_layout_line(cr, line);
}

void drawSlate(cairo_t* cr, const std::string& title, const std::string& subtitle) {
    cairo_set_source_rgb(cr, kBackground.r, kBackground.g, kBackground.b);
    cairo_paint(cr);

    // A font map of our own so every Pango object is released when we are done;
    // unhinted metrics keep the measured ink where the glyphs actually land.
    GObjectPtr<PangoFontMap> fontMap(pango_cairo_font_map_new());
    GObjectPtr<PangoContext> context(pango_font_map_create_context(fontMap.get()));
    FontOptionsPtr options(cairo_font_options_create());
    cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(context.get(), options.get());
    pango_cairo_update_context(cr, context.get());

    drawCentredLine(cr, context.get(), title, kTitleSize, kTitleColour,
                    kSlateHeight - kTitleBaselineAboveBottom);
    drawCentredLine(cr, context.get(), subtitle, kSubtitleSize, kSubtitleColour,
                    kSlateHeight - kSubtitleBaselineAboveBottom);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> renderSlateBgra(const std::string& title,
                                                         const std::string& subtitle, int* stride) {
    const int rowBytes = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, kSlateWidth);
    if (rowBytes != 4 * kSlateWidth) return std::nullopt;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(rowBytes) * kSlateHeight, 0);

    SurfacePtr surface(cairo_image_surface_create_for_data(pixels.data(), CAIRO_FORMAT_ARGB32,
                                                           kSlateWidth, kSlateHeight, rowBytes));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;

    {
        CairoPtr cr(cairo_create(surface.get()));
        // Without a drawing context the slate stays undrawn; the buffer still goes out.
        if (cairo_status(cr.get()) == CAIRO_STATUS_SUCCESS) drawSlate(cr.get(), title, subtitle);
    }
    cairo_surface_flush(surface.get());
    surface.reset();

    if (stride != nullptr) *stride = rowBytes;
    return pixels;
}

std::optional<Nv12Picture> renderSlate(const std::string& title, const std::string& subtitle) {
    int stride = 0;
    std::optional<std::vector<std::uint8_t>> bgra = renderSlateBgra(title, subtitle, &stride);
    if (!bgra) return std::nullopt;

    // Full-resolution chroma from the RGB input, then a bicubic 2:1 reduction.
    SwsPtr sws(sws_getContext(kSlateWidth, kSlateHeight, AV_PIX_FMT_BGRA, kSlateWidth, kSlateHeight,
                              AV_PIX_FMT_NV12, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP,
                              nullptr, nullptr, nullptr));
    if (!sws) return std::nullopt;
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    // Source: full-range RGB. Destination: BT.709 video range. Neutral brightness,
    // contrast and saturation (16.16 fixed point).
    if (sws_setColorspaceDetails(sws.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) < 0)
        return std::nullopt;

    Nv12Picture picture;
    picture.width = kSlateWidth;
    picture.height = kSlateHeight;
    const std::size_t lumaBytes = static_cast<std::size_t>(kSlateWidth) * kSlateHeight;
    picture.bytes.assign(lumaBytes + lumaBytes / 2, 0);

    const std::uint8_t* const source[4] = {bgra->data(), nullptr, nullptr, nullptr};
    const int sourceStride[4] = {stride, 0, 0, 0};
    std::uint8_t* const destination[4] = {picture.bytes.data(), picture.bytes.data() + lumaBytes,
                                          nullptr, nullptr};
    const int destinationStride[4] = {kSlateWidth, kSlateWidth, 0, 0};
    const int rows =
        sws_scale(sws.get(), source, sourceStride, 0, kSlateHeight, destination, destinationStride);
    if (rows != kSlateHeight) return std::nullopt;
    return picture;
}

}  // namespace vsc
