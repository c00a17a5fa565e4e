#pragma once

#include <QColor>
#include <QPointF>

#include "annotate/Annotation.h"

// A straight line from start to the drag point, with an arrowhead at its end for the arrow
// tool. A line that ends where it starts draws nothing.
class LineAnnotation : public Annotation
{
public:
    LineAnnotation(QPointF start, QColor color, qreal width, bool arrow);

    QRectF update(QPointF point) override;
    void draw(QPainter &painter) const override;

    QPointF end() const { return m_end; }

    const QPointF start;
    const QColor color;
    const qreal width;
    const bool arrow;

private:
    void drawArrow(QPainter &painter) const;

    QPointF m_end;
};
