#include "capture/PortalCapture.h"

#include <algorithm>
#include <cmath>

namespace PortalCapture {

namespace {

// The picture's scale, when both of its sides are the layout's times that one scale (to the
// rounding of a pixel).
qreal pictureScale(const QSize &picture, const QRect &bounds)
{
    if (bounds.isEmpty() || picture.isEmpty())
        return 0;
    const qreal scale = qreal(picture.width()) / bounds.width();
    return std::abs(bounds.height() * scale - picture.height()) < 1 ? scale : 0;
}

QRect scaled(const QRect &rect, qreal scale)
{
    return QRect(qRound(rect.x() * scale), qRound(rect.y() * scale), qRound(rect.width() * scale),
                 qRound(rect.height() * scale));
}

// The source rectangle of picture (Format_RGB32) at the target size. The whole picture at its
// own size is the picture itself, shared. At a whole multiple of the target's scale, each
// pixel is the one under the middle of its footprint: the portal enlarges a lower-scale output
// by repeating its pixels, and averaging the copies would blend in the neighbours wherever the
// enlargement is not aligned to whole pixels.
QImage resampled(const QImage &picture, const QRect &source, const QSize &target)
{
    if (source.size() == target || target.isEmpty())
        return source == picture.rect() ? picture : picture.copy(source);
    const int factor = source.width() / target.width();
    if (factor * target.width() != source.width() || factor * target.height() != source.height())
        return picture.copy(source).scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // A source that rounding took past the picture's edge is sampled from a copy, black there.
    if (!picture.rect().contains(source))
        return resampled(picture.copy(source), QRect(QPoint(), source.size()), target);
    QImage sampled(target, QImage::Format_RGB32);
    const int x0 = source.x() + factor / 2;
    for (int y = 0; y < target.height(); ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(
            picture.constScanLine(source.y() + y * factor + factor / 2));
        auto *out = reinterpret_cast<QRgb *>(sampled.scanLine(y));
        for (int x = 0; x < target.width(); ++x)
            out[x] = in[x0 + x * factor];
    }
    return sampled;
}

} // namespace

QList<QImage> cutLayout(const QImage &picture, const QList<Area> &areas)
{
    QRect bounds;
    for (const Area &area : areas)
        bounds |= area.geometry;
    const qreal scale = pictureScale(picture.size(), bounds);
    if (scale <= 0)
        return {};
    // Converted once for every piece; decodePicture() already gives this format.
    QImage whole = picture;
    if (whole.format() != QImage::Format_RGB32)
        whole.convertTo(QImage::Format_RGB32);
    QList<QImage> pieces;
    pieces.reserve(areas.size());
    for (const Area &area : areas) {
        const QRect source = scaled(area.geometry.translated(-bounds.topLeft()), scale);
        const QSize target =
            scaled(QRect(QPoint(), area.geometry.size()), std::min(area.scale, scale)).size();
        pieces.append(resampled(whole, source, target));
    }
    return pieces;
}

} // namespace PortalCapture
