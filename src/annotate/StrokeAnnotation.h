#pragma once

#include <QColor>
#include <QList>
#include <QPointF>

#include "annotate/Annotation.h"

// A freehand stroke of the pen or the marker: the drag points joined by straight segments.
class StrokeAnnotation : public Annotation
{
public:
    StrokeAnnotation(QPointF start, QColor color, qreal width);

    // The marker's translucent version of a colour: same red, green and blue, alpha 110.
    static QColor markerColor(QColor color);

    QRectF update(QPointF point) override;
    void draw(QPainter &painter) const override;

    const QColor color;
    const qreal width;

private:
    // Starts with the start point; never holds the same point twice in a row: a segment of no
    // length gets no round caps, so a click's dot would not show.
    QList<QPointF> m_points;
};
