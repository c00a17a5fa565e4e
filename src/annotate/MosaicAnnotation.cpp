#include "annotate/MosaicAnnotation.h"

#include <cmath>

#include <utility>

#include <QPainter>

#include "annotate/Drawing.h"

MosaicAnnotation::MosaicAnnotation(QPointF start, QImage source, qreal scale, qreal block,
                                   QRectF bounds)
    : start(start), source(std::move(source)), scale(scale), block(block), bounds(bounds),
      m_end(start)
{}

QRectF MosaicAnnotation::update(QPointF point)
{
    // Blocks are laid from the rectangle's corner, so a moved corner can change them all.
    const QRectF changed = Drawing::spanning(start, m_end).united(Drawing::spanning(start, point));
    m_end = point;
    return changed.adjusted(-1, -1, 1, 1).intersected(bounds);
}

void MosaicAnnotation::draw(QPainter &painter) const
{
    const QRectF r = Drawing::spanning(start, m_end).intersected(bounds);
    if (!(r.width() >= 1) || !(r.height() >= 1))
        return;
    const std::optional<QImage> mosaic = Drawing::pixelated(source, r, scale, block);
    if (mosaic)
        Drawing::drawImage(painter, *mosaic, r, false);
}

QRectF MosaicAnnotation::opaqueArea() const
{
    // Averages of an opaque picture are opaque. Whole points only: the blocks are drawn
    // without smoothing, so a pixel only partly inside may be left to the picture.
    const QRectF r = Drawing::spanning(start, m_end).intersected(bounds);
    if (source.format() != QImage::Format_RGB32 || !(r.width() >= 1) || !(r.height() >= 1))
        return {};
    const QPointF from(std::ceil(r.left()), std::ceil(r.top()));
    const QPointF to(std::floor(r.right()), std::floor(r.bottom()));
    return to.x() > from.x() && to.y() > from.y() ? QRectF(from, to) : QRectF();
}
