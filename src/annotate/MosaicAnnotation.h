#pragma once

#include <QImage>
#include <QPointF>
#include <QRectF>

#include "annotate/Annotation.h"

// A pixelated region of the frozen screen image. The mosaic is computed from source on every
// draw; the shape keeps no image of its own.
class MosaicAnnotation : public Annotation
{
public:
    // source is in pixels, scale its pixels per view point, block the block size in points;
    // nothing is drawn outside bounds.
    MosaicAnnotation(QPointF start, QImage source, qreal scale, qreal block, QRectF bounds);

    QRectF update(QPointF point) override;
    void draw(QPainter &painter) const override;
    QRectF opaqueArea() const override;

    QPointF end() const { return m_end; }

    const QPointF start;
    const QImage source;
    const qreal scale;
    const qreal block;
    const QRectF bounds;

private:
    QPointF m_end;
};
