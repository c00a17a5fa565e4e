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

    // Starts with the start point; never holds the same point twice in a row.
    const QList<QPointF> &points() const { return m_points; }

    const QColor color;
    const qreal width;

private:
    QList<QPointF> m_points;
};
