// The two bitmap operations of Drawing: they work on pixels directly, without a painter,
// because both run on full-screen images (dimmed once per view, pixelated on every redraw
// of a mosaic).
#include "annotate/Drawing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Larger mosaics (a block far below a pixel) are refused rather than allocated.
constexpr double maxMosaicPixels = 1 << 24;

bool isDirect32(QImage::Format format)
{
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32_Premultiplied;
}

struct Span
{
    int begin;
    int end;
};

// Shares n source pixels out among k blocks as evenly as whole pixels allow. When there are
// more blocks than pixels, a block takes the one pixel under it.
std::vector<Span> shares(int n, int k)
{
    std::vector<Span> spans(static_cast<size_t>(k));
    for (int i = 0; i < k; ++i) {
        const int begin = static_cast<int>(int64_t(i) * n / k);
        const int end = static_cast<int>(int64_t(i + 1) * n / k);
        spans[static_cast<size_t>(i)] = {begin, std::max(end, begin + 1)};
    }
    return spans;
}

// Averages premultiplied pixels, so partly transparent areas blend correctly.
void averageBlocks(const QImage &pixels, QPoint offset, QSize size, QImage &out)
{
    const std::vector<Span> columns = shares(size.width(), out.width());
    const std::vector<Span> rows = shares(size.height(), out.height());
    std::vector<uint64_t> sums(columns.size() * 4);

    for (int r = 0; r < out.height(); ++r) {
        std::fill(sums.begin(), sums.end(), 0);
        const Span rowSpan = rows[static_cast<size_t>(r)];
        for (int y = rowSpan.begin; y < rowSpan.end; ++y) {
            const auto *line =
                reinterpret_cast<const uint32_t *>(pixels.constScanLine(offset.y() + y)) +
                offset.x();
            for (size_t c = 0; c < columns.size(); ++c) {
                // Two pixels at a time, each channel in a 16-bit lane of a 64-bit sum: 256
                // pixels (128 pairs and one more) fit without carry.
                for (int x = columns[c].begin; x < columns[c].end;) {
                    const int stop = std::min(columns[c].end, x + 256);
                    constexpr uint64_t lanes = 0x00ff00ff00ff00ffull;
                    uint64_t blueRed = 0, greenAlpha = 0;
                    for (; x + 1 < stop; x += 2) {
                        uint64_t two;
                        std::memcpy(&two, line + x, sizeof two);
                        blueRed += two & lanes;
                        greenAlpha += (two >> 8) & lanes;
                    }
                    if (x < stop) {
                        blueRed += line[x] & 0x00ff00ffu;
                        greenAlpha += (line[x] >> 8) & 0x00ff00ffu;
                        ++x;
                    }
                    const auto lane = [](uint64_t sum, int i) {
                        return (sum >> (16 * i)) & 0xffff;
                    };
                    sums[c * 4] += lane(blueRed, 0) + lane(blueRed, 2);
                    sums[c * 4 + 1] += lane(greenAlpha, 0) + lane(greenAlpha, 2);
                    sums[c * 4 + 2] += lane(blueRed, 1) + lane(blueRed, 3);
                    sums[c * 4 + 3] += lane(greenAlpha, 1) + lane(greenAlpha, 3);
                }
            }
        }
        auto *target = reinterpret_cast<uint32_t *>(out.scanLine(r));
        const bool opaque = pixels.format() == QImage::Format_RGB32;
        for (size_t c = 0; c < columns.size(); ++c) {
            const uint64_t count =
                uint64_t(columns[c].end - columns[c].begin) * (rowSpan.end - rowSpan.begin);
            const auto mean = [&](size_t i) { return (sums[c * 4 + i] + count / 2) / count; };
            const uint64_t alpha = opaque ? 0xff : mean(3);
            target[c] = uint32_t(alpha << 24 | mean(2) << 16 | mean(1) << 8 | mean(0));
        }
    }
}

} // namespace

std::optional<QImage> Drawing::pixelated(const QImage &source, const QRectF &rect, qreal scale,
                                         qreal block)
{
    const QRectF area = rect.normalized();
    if (!(scale > 0) || !(block > 0))
        return std::nullopt;

    const double left = std::floor(area.left() * scale);
    const double top = std::floor(area.top() * scale);
    const double right = std::ceil(area.right() * scale);
    const double bottom = std::ceil(area.bottom() * scale);
    // Written so that NaN coordinates fail too.
    if (!(right - left >= 1) || !(bottom - top >= 1))
        return std::nullopt;

    const double cropLeft = std::max(left, 0.0);
    const double cropTop = std::max(top, 0.0);
    const double cropRight = std::min(right, double(source.width()));
    const double cropBottom = std::min(bottom, double(source.height()));
    if (!(cropRight > cropLeft) || !(cropBottom > cropTop))
        return std::nullopt;
    const QRect crop(int(cropLeft), int(cropTop), int(cropRight - cropLeft),
                     int(cropBottom - cropTop));

    // Blocks are counted in points, so they look the same size on every display.
    const double columns = std::max(1.0, std::floor(area.width() / block));
    const double rows = std::max(1.0, std::floor(area.height() / block));
    if (!(columns * rows <= maxMosaicPixels))
        return std::nullopt;
    QImage out(int(columns), int(rows), QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return std::nullopt;

    if (isDirect32(source.format())) {
        averageBlocks(source, crop.topLeft(), crop.size(), out);
    } else {
        const QImage converted =
            source.copy(crop).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (converted.isNull())
            return std::nullopt;
        averageBlocks(converted, QPoint(0, 0), crop.size(), out);
    }
    return out;
}

void Drawing::dimRow(const uint32_t *from, uint32_t *to, int count)
{
    // Four at a time: the compiler leaves the plain loop unvectorised at -O2, and it then
    // takes half as long again as a copy.
    using Quad = uint32_t __attribute__((vector_size(16)));
    int x = 0;
    for (; x + 4 <= count; x += 4) {
        Quad v;
        std::memcpy(&v, from + x, sizeof v);
        v = ((v >> 1) & 0x007f7f7fu) | 0xff000000u;
        std::memcpy(to + x, &v, sizeof v);
    }
    for (; x < count; ++x)
        to[x] = ((from[x] >> 1) & 0x007f7f7fu) | 0xff000000u;
}

QImage Drawing::dimmed(const QImage &image)
{
    if (image.isNull())
        return image;
    const QImage source = isDirect32(image.format())
                              ? image
                              : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QImage out(source.size(), QImage::Format_ARGB32_Premultiplied);
    if (source.isNull() || out.isNull())
        return image;
    out.setDevicePixelRatio(image.devicePixelRatio());

    // Black at alpha one half over a premultiplied pixel: every channel halves and alpha
    // becomes 128 + a / 2. RGB32 promises an alpha byte of 0xff but does not enforce it.
    const bool opaque = source.format() == QImage::Format_RGB32;
    const int width = source.width();
    for (int y = 0; y < source.height(); ++y) {
        const auto *from = reinterpret_cast<const uint32_t *>(source.constScanLine(y));
        auto *to = reinterpret_cast<uint32_t *>(out.scanLine(y));
        if (opaque) {
            dimRow(from, to, width);
        } else {
            for (int x = 0; x < width; ++x)
                to[x] = ((from[x] >> 1) & 0x7f7f7f7fu) + 0x80000000u;
        }
    }
    return out;
}
