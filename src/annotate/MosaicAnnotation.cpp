#include "annotate/MosaicAnnotation.h"

#include <utility>

#include <QPainter>

#include "annotate/Drawing.h"

MosaicAnnotation::MosaicAnnotation(QPointF start, QImage source, qreal scale, qreal block,
                                   QRectF bounds)
    : start(start), source(std::move(source)), scale(scale), block(block), bounds(bounds),
      m_end(start)
{}

void MosaicAnnotation::update(QPointF point)
{
    m_end = point;
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
