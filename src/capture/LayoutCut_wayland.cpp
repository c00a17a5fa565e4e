#include "capture/PortalCapture.h"

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

} // namespace

QList<QImage> cutLayout(const QImage &picture, const QList<Area> &areas)
{
    QRect bounds;
    for (const Area &area : areas)
        bounds |= area.geometry;
    const qreal scale = pictureScale(picture.size(), bounds);
    if (scale <= 0)
        return {};
    QList<QImage> pieces;
    pieces.reserve(areas.size());
    for (const Area &area : areas) {
        const QRect source = scaled(area.geometry.translated(-bounds.topLeft()), scale);
        const QSize target = scaled(QRect(QPoint(), area.geometry.size()), area.scale).size();
        QImage piece = picture.copy(source);
        if (piece.size() != target)
            piece = piece.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (piece.format() != QImage::Format_RGB32)
            piece.convertTo(QImage::Format_RGB32);
        pieces.append(piece);
    }
    return pieces;
}

} // namespace PortalCapture
