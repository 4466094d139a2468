#include "platform/image/PngEncoder.h"

#include <png.h>

#include <csetjmp>
#include <exception>
#include <memory>

namespace ostrovane::platform {

namespace {

// Speed first: snapshots and thumbnails are encoded while video capture runs.
// On the desktop-like 1080p picture of bench/image_bench.cpp (text, flat
// areas, gradients, a photo), zlib level 2 with the "Sub" filter alone takes
// about a fifth of the time of libpng's defaults (level 6, adaptive filter
// choice per row: 31 ms against 172 ms) for a file 4% larger (616 KB against
// 592 KB). Sub suits screens, where runs along a row repeat; level 1 saves
// little more time, level 3 costs a quarter more.
constexpr int kCompressionLevel = 2;
constexpr int kFilters = PNG_FILTER_SUB;

struct WriteContext {
    std::vector<std::uint8_t>* out;
};

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* context = static_cast<WriteContext*>(png_get_io_ptr(png));
    try {
        context->out->insert(context->out->end(), data, data + length);
    } catch (const std::exception&) {
        png_error(png, "out of memory");
    }
}

void flushNothing(png_structp) {}

// libpng's default handlers print to standard error, which carries our
// protocol's text lines: stay silent and leave through the jump target.
[[noreturn]] void failSilently(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void ignoreWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp; keeping the jump target in a function whose
// locals are all trivial means no destructor is ever skipped.
bool writeRows(png_structp png, png_infop info, const Image& image, bool opaque, png_bytep* rows) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, image.width(), image.height(), 8,
                 opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, kCompressionLevel);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, kFilters);
    png_write_info(png, info);
    // Rows stay BGRA in memory: libpng swaps to RGB order and drops the alpha
    // byte of opaque images on the way out, so no copy of the picture is made.
    png_set_bgr(png);
    if (opaque)
        png_set_filler(png, 0, PNG_FILLER_AFTER);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

struct PngWriteDeleter {
    png_infop info = nullptr;
    void operator()(png_structp png) const {
        png_infop i = info;
        png_destroy_write_struct(&png, i ? &i : nullptr);
    }
};

}  // namespace

std::vector<std::uint8_t> encodePng(const Image& image) {
    if (image.empty())
        return {};
    std::vector<std::uint8_t> out;
    WriteContext context{&out};

    std::unique_ptr<png_struct, PngWriteDeleter> png(
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, failSilently, ignoreWarning));
    if (!png)
        return {};
    png_infop info = png_create_info_struct(png.get());
    if (info == nullptr)
        return {};
    png.get_deleter().info = info;

    std::vector<png_bytep> rows(image.height());
    for (std::uint32_t y = 0; y < image.height(); ++y) {
        rows[y] = const_cast<png_bytep>(image.row(y));
    }
    // Roughly what a screen picture compresses to, to avoid most regrowth.
    out.reserve(std::size_t{image.width()} * image.height() / 2);
    png_set_write_fn(png.get(), &context, appendBytes, flushNothing);
    if (!writeRows(png.get(), info, image, image.isOpaque(), rows.data()))
        return {};
    return out;
}

}  // namespace ostrovane::platform
