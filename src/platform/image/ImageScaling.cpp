#include "platform/image/ImageScaling.h"

#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace ostrovane::platform {

namespace {

// Weights are fixed point with this many fraction bits and each output's
// weights sum to exactly one, so flat areas (and opaque alpha) come out
// unchanged.
constexpr int kWeightBits = 14;
constexpr std::uint32_t kOne = 1u << kWeightBits;
// Vertical sums (up to 255 << 14) are cut to 16 bits with 8 fraction bits;
// the horizontal sum (up to 255 << 22) then fits 32 bits.
constexpr int kAccumulatorShift = kWeightBits - 8;
constexpr std::uint32_t kAccumulatorHalf = 1u << (kAccumulatorShift - 1);
constexpr int kOutputShift = kWeightBits + 8;
constexpr std::uint32_t kOutputHalf = 1u << (kOutputShift - 1);

// The alpha byte (the fourth in memory) of a pixel read as one 32-bit word.
constexpr std::uint32_t kAlphaBits =
    std::endian::native == std::endian::little ? 0xFF000000u : 0x000000FFu;

std::uint32_t roundedScale(std::uint32_t length, double factor) {
    const double scaled = std::round(length * factor);
    return scaled < 1 ? 1u : static_cast<std::uint32_t>(scaled);
}

}  // namespace

struct ImageScaler::View {
    std::uint8_t* data;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t stride;

    static View of(Image& image) {
        return {image.data(), image.width(), image.height(), image.stride()};
    }
    std::uint8_t* row(std::uint32_t y) const { return data + std::size_t{y} * stride; }
};

namespace {

// Copies `width` pixels, making them opaque when `opaque` (one pass that the
// compiler vectorises, as fast as a plain copy).
void copyRow(const std::uint8_t* in, std::uint8_t* out, std::uint32_t width, bool opaque) {
    if (!opaque) {
        std::memcpy(out, in, std::size_t{width} * 4);
        return;
    }
    for (std::uint32_t x = 0; x < width; ++x) {
        std::uint32_t pixel;
        std::memcpy(&pixel, in + std::size_t{x} * 4, 4);
        pixel |= kAlphaBits;
        std::memcpy(out + std::size_t{x} * 4, &pixel, 4);
    }
}

void fillRow(std::uint8_t* out, std::uint32_t width, std::uint32_t pixel) {
    for (std::uint32_t x = 0; x < width; ++x)
        std::memcpy(out + std::size_t{x} * 4, &pixel, 4);
}

// Area weights of `from` source pixels averaged into `to` output pixels.
template <typename Axis>
void buildAxis(Axis& axis, std::uint32_t from, std::uint32_t to) {
    axis.first.resize(to);
    axis.count.resize(to);
    axis.offset.resize(to);
    axis.weight.clear();
    const double ratio = double(from) / to;
    for (std::uint32_t i = 0; i < to; ++i) {
        const double begin = i * ratio;
        const double end = std::min(double(from), (i + 1) * ratio);
        const auto first = static_cast<std::uint32_t>(begin);
        const auto last = std::min(from, static_cast<std::uint32_t>(std::ceil(end)));
        axis.first[i] = first;
        axis.offset[i] = static_cast<std::uint32_t>(axis.weight.size());
        std::uint32_t sum = 0;
        std::size_t largest = axis.weight.size();
        for (std::uint32_t j = first; j < last; ++j) {
            const double overlap = std::min(end, j + 1.0) - std::max(begin, double(j));
            const auto w = static_cast<std::uint32_t>(std::lround(overlap / (end - begin) * kOne));
            if (axis.weight.size() == axis.offset[i] || w > axis.weight[largest]) {
                largest = axis.weight.size();
            }
            axis.weight.push_back(w);
            sum += w;
        }
        // Rounding leftovers go to the biggest share, so weights sum to one.
        axis.weight[largest] += kOne - sum;
        axis.count[i] = last - first;
    }
}

// The two passes of the area filter, built for AVX2 as well as the baseline:
// the AVX2 build multiplies eight 32-bit lanes at once where the baseline
// (SSE2) has no 32-bit vector multiply at all. Sanitizer builds keep one
// version: the clone resolver runs before the sanitizer runtime is ready.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define OSTROVANE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define OSTROVANE_VECTOR_CLONES
#endif

// Weighted sum of `count` source rows into a 16-bit row with 8 fraction bits.
OSTROVANE_VECTOR_CLONES
void verticalPass(const std::uint8_t* firstRow, std::size_t stride, const std::uint32_t* weights,
                  std::uint32_t count, std::size_t values, std::uint32_t* acc, std::uint16_t* sum) {
    // Every output row covers at least one source row.
    const std::uint32_t w0 = weights[0];
    for (std::size_t k = 0; k < values; ++k)
        acc[k] = w0 * firstRow[k];
    for (std::uint32_t t = 1; t < count; ++t) {
        const std::uint32_t w = weights[t];
        const std::uint8_t* in = firstRow + t * stride;
        for (std::size_t k = 0; k < values; ++k)
            acc[k] += w * in[k];
    }
    for (std::size_t k = 0; k < values; ++k) {
        sum[k] = static_cast<std::uint16_t>((acc[k] + kAccumulatorHalf) >> kAccumulatorShift);
    }
}

using Lanes = std::uint32_t __attribute__((vector_size(16)));

// Weighted sum of the columns each output pixel covers, four channels at once.
OSTROVANE_VECTOR_CLONES
void horizontalPass(const std::uint16_t* sum, std::uint32_t base, const std::uint32_t* first,
                    const std::uint32_t* count, const std::uint32_t* offset,
                    const std::uint32_t* weight, std::uint32_t width, std::uint8_t* out) {
    for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint16_t* column = sum + std::size_t{first[x] - base} * 4;
        const std::uint32_t* weights = weight + offset[x];
        Lanes total = {kOutputHalf, kOutputHalf, kOutputHalf, kOutputHalf};
        for (std::uint32_t t = 0; t < count[x]; ++t) {
            const std::uint16_t* p = column + t * 4;
            total += weights[t] * Lanes{p[0], p[1], p[2], p[3]};
        }
        total >>= kOutputShift;
        for (int c = 0; c < 4; ++c)
            out[x * 4 + c] = static_cast<std::uint8_t>(total[c]);
    }
}

}  // namespace

void ImageScaler::prepareAxes(ImageSize from, ImageSize to) {
    if (from == axesFrom_ && to == axesTo_)
        return;
    buildAxis(columns_, from.width, to.width);
    buildAxis(rows_, from.height, to.height);
    axesFrom_ = from;
    axesTo_ = to;
}

int ImageScaler::halvingsFor(ImageSize from, ImageSize to) {
    int halvings = 0;
    while (from.width % (to.width * 2) == 0 && from.height % (to.height * 2) == 0) {
        from = {from.width / 2, from.height / 2};
        ++halvings;
    }
    return halvings;
}

void ImageScaler::areaScale(const ImageView& source, const View& destination) {
    prepareAxes({source.width, source.height}, {destination.width, destination.height});
    const std::size_t rowValues = std::size_t{source.width} * 4;
    rowAccumulator_.resize(rowValues);
    rowSum_.resize(rowValues);

    for (std::uint32_t y = 0; y < destination.height; ++y) {
        verticalPass(source.row(rows_.first[y]), source.stride,
                     rows_.weight.data() + rows_.offset[y], rows_.count[y], rowValues,
                     rowAccumulator_.data(), rowSum_.data());
        horizontalPass(rowSum_.data(), 0, columns_.first.data(), columns_.count.data(),
                       columns_.offset.data(), columns_.weight.data(), destination.width,
                       destination.row(y));
    }
}

bool ImageScaler::scaleView(const ImageView& source, const View& destination) {
    if (source.empty() || destination.width == 0 || destination.height == 0)
        return false;
    constexpr std::uint32_t kIntMax = std::numeric_limits<int>::max();
    if (source.stride > kIntMax || destination.stride > kIntMax)
        return false;

    // Halvings first, through libyuv's SIMD 2x2 box, but only while each
    // output pixel covers whole 2x2 blocks: a halving before a non-integer
    // ratio would blur box edges by a source pixel. The last halving of an
    // exact power-of-two reduction writes the destination itself.
    ImageView current = source;
    int next = 0;
    while (current.width % (destination.width * 2) == 0 &&
           current.height % (destination.height * 2) == 0) {
        const std::uint32_t width = current.width / 2, height = current.height / 2;
        View target = destination;
        if (width != destination.width || height != destination.height) {
            Image& half = halves_[next];
            if (half.width() != width || half.height() != height)
                half = Image(width, height);
            target = View::of(half);
            next ^= 1;
        }
        libyuv::ARGBScale(current.data, int(current.stride), int(current.width),
                          int(current.height), target.data, int(target.stride), int(width),
                          int(height), libyuv::kFilterBox);
        current = ImageView{target.data, width, height, target.stride, current.alphaIsPadding};
    }
    if (current.data != destination.data) {
        if (current.width == destination.width && current.height == destination.height) {
            for (std::uint32_t y = 0; y < current.height; ++y)
                copyRow(current.row(y), destination.row(y), current.width, current.alphaIsPadding);
            return true;
        }
        areaScale(current, destination);
    }
    // Padding averaged is still padding.
    if (source.alphaIsPadding) {
        for (std::uint32_t y = 0; y < destination.height; ++y) {
            std::uint8_t* row = destination.row(y);
            copyRow(row, row, destination.width, true);
        }
    }
    return true;
}

bool ImageScaler::scale(const ImageView& source, Image& destination) {
    return scaleView(source, View::of(destination));
}

PixelRect fittedArea(ImageSize size, ImageSize bounds) {
    const ImageSize fitted = fitWithin(size, bounds);
    return {(bounds.width - fitted.width) / 2, (bounds.height - fitted.height) / 2, fitted.width,
            fitted.height};
}

bool ImageScaler::scaleToFit(const ImageView& source, Image& destination) {
    if (source.empty() || destination.empty())
        return false;
    const PixelRect area =
        fittedArea({source.width, source.height}, {destination.width(), destination.height()});
    const ImageSize fitted{area.width, area.height};
    const std::uint32_t left = area.x;
    const std::uint32_t top = area.y;
    // Only the margins are painted: the picture covers the rest.
    const std::uint32_t black = kAlphaBits;
    const std::uint32_t right = destination.width() - left - fitted.width;
    for (std::uint32_t y = 0; y < destination.height(); ++y) {
        std::uint8_t* row = destination.row(y);
        if (y < top || y >= top + fitted.height) {
            fillRow(row, destination.width(), black);
            continue;
        }
        fillRow(row, left, black);
        fillRow(row + std::size_t{left + fitted.width} * 4, right, black);
    }
    const View inner{destination.row(top) + std::size_t{left} * 4, fitted.width, fitted.height,
                     destination.stride()};
    return scaleView(source, inner);
}

ScaledRegion ImageScaler::regionOf(PixelRect changed, ImageSize source, ImageSize destination) {
    changed = changed.intersected({0, 0, source.width, source.height});
    if (changed.empty() || destination.width == 0 || destination.height == 0)
        return {};
    // In the picture the halvings leave, `factor` source pixels a side each.
    const std::uint32_t factor = 1u << halvingsFor(source, destination);
    const ImageSize halved{source.width / factor, source.height / factor};
    const bool area = halved != destination;
    if (area)
        prepareAxes(halved, destination);
    // Along one axis: the outputs the change [begin, end) touches.
    const auto outputs = [&](const Axis& axis, std::uint32_t begin, std::uint32_t end) {
        begin /= factor;
        end = (end + factor - 1) / factor;
        if (!area)
            return std::pair(begin, end);
        const auto n = static_cast<std::uint32_t>(axis.first.size());
        std::uint32_t i = 0;
        while (i + 1 < n && axis.first[i] + axis.count[i] <= begin)
            ++i;
        std::uint32_t j = i + 1;
        while (j < n && axis.first[j] < end)
            ++j;
        return std::pair(i, j);
    };
    // And the source they are computed from.
    const auto inputs = [&](const Axis& axis, std::uint32_t first, std::uint32_t end) {
        if (!area)
            return std::pair(first * factor, end * factor);
        return std::pair(axis.first[first] * factor,
                         (axis.first[end - 1] + axis.count[end - 1]) * factor);
    };
    auto [x0, x1] = outputs(columns_, changed.x, changed.right());
    const auto [y0, y1] = outputs(rows_, changed.y, changed.bottom());
    // Whole runs of 8 columns: libyuv's SIMD rows and their scalar tails
    // round differently, so a region must split its rows where the whole
    // picture's rows split.
    x0 = x0 / 8 * 8;
    x1 = std::min(destination.width, (x1 + 7) / 8 * 8);
    const auto [sx0, sx1] = inputs(columns_, x0, x1);
    const auto [sy0, sy1] = inputs(rows_, y0, y1);
    return {{sx0, sy0, sx1 - sx0, sy1 - sy0}, {x0, y0, x1 - x0, y1 - y0}};
}

bool ImageScaler::scaleRegion(const ImageView& part, ImageSize source, const ScaledRegion& region,
                              Image& destination, PixelRect inner) {
    const PixelRect target = region.destination;
    if (part.empty() || target.empty() || part.width != region.source.width ||
        part.height != region.source.height || inner.right() > destination.width() ||
        inner.bottom() > destination.height() || target.right() > inner.width ||
        target.bottom() > inner.height) {
        return false;
    }
    const ImageSize to{inner.width, inner.height};
    const View out{destination.row(inner.y + target.y) + std::size_t{inner.x + target.x} * 4,
                   target.width, target.height, destination.stride()};
    const int halvings = halvingsFor(source, to);
    const ImageSize halved{source.width >> halvings, source.height >> halvings};
    ImageView current = part;
    for (int i = 0, next = 0; i < halvings; ++i) {
        const std::uint32_t width = current.width / 2, height = current.height / 2;
        View step = out;
        if (i + 1 < halvings || halved != to) {
            Image& half = regionHalves_[next];
            if (half.width() < width || half.height() < height)
                half = Image(std::max(width, half.width()), std::max(height, half.height()));
            step = View{half.data(), width, height, half.stride()};
            next ^= 1;
        }
        libyuv::ARGBScale(current.data, int(current.stride), int(current.width),
                          int(current.height), step.data, int(step.stride), int(width), int(height),
                          libyuv::kFilterBox);
        current = ImageView{step.data, width, height, step.stride, current.alphaIsPadding};
    }
    if (halved == to) {
        if (current.data != out.data) {
            for (std::uint32_t y = 0; y < out.height; ++y)
                copyRow(current.row(y), out.row(y), out.width, current.alphaIsPadding);
            return true;
        }
    } else {
        prepareAxes(halved, to);
        const std::uint32_t left = region.source.x >> halvings;
        const std::uint32_t top = region.source.y >> halvings;
        const std::size_t values = std::size_t{current.width} * 4;
        rowAccumulator_.resize(std::max(rowAccumulator_.size(), values));
        rowSum_.resize(std::max(rowSum_.size(), values));
        for (std::uint32_t y = 0; y < out.height; ++y) {
            const std::uint32_t row = target.y + y;
            verticalPass(current.row(rows_.first[row] - top), current.stride,
                         rows_.weight.data() + rows_.offset[row], rows_.count[row], values,
                         rowAccumulator_.data(), rowSum_.data());
            horizontalPass(rowSum_.data(), left, columns_.first.data() + target.x,
                           columns_.count.data() + target.x, columns_.offset.data() + target.x,
                           columns_.weight.data(), out.width, out.row(y));
        }
    }
    if (part.alphaIsPadding) {
        for (std::uint32_t y = 0; y < out.height; ++y)
            copyRow(out.row(y), out.row(y), out.width, true);
    }
    return true;
}

Image scale(const Image& source, std::uint32_t newWidth, std::uint32_t newHeight) {
    if (source.empty() || newWidth == 0 || newHeight == 0)
        return Image{};
    Image result(newWidth, newHeight);
    ImageScaler scaler;
    if (!scaler.scale(source, result))
        return Image{};
    return result;
}

ImageSize fitWithinWidth(ImageSize size, std::uint32_t maxWidth) {
    if (size.width == 0 || size.height == 0 || size.width <= maxWidth)
        return size;
    if (maxWidth == 0)
        return ImageSize{};
    return ImageSize{maxWidth, roundedScale(size.height, double(maxWidth) / size.width)};
}

ImageSize fitWithin(ImageSize size, ImageSize bounds) {
    if (size.width == 0 || size.height == 0 || bounds.width == 0 || bounds.height == 0) {
        return ImageSize{};
    }
    const double factor =
        std::min(double(bounds.width) / size.width, double(bounds.height) / size.height);
    return ImageSize{std::min(bounds.width, roundedScale(size.width, factor)),
                     std::min(bounds.height, roundedScale(size.height, factor))};
}

}  // namespace ostrovane::platform
