#pragma once

#include <QColor>
#include <QPointF>

#include "annotate/Annotation.h"

// The outline of the rectangle spanned by start and the drag point, in either direction.
class RectAnnotation : public Annotation
{
public:
    RectAnnotation(QPointF start, QColor color, qreal width);

    QRectF update(QPointF point) override;
    void draw(QPainter &painter) const override;

    QPointF end() const { return m_end; }

    const QPointF start;
    const QColor color;
    const qreal width;

private:
    QPointF m_end;
};
