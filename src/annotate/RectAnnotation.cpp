#include "annotate/RectAnnotation.h"

#include <QPainter>

#include "annotate/Drawing.h"

RectAnnotation::RectAnnotation(QPointF start, QColor color, qreal width)
    : start(start), color(color), width(width), m_end(start)
{}

void RectAnnotation::update(QPointF point)
{
    m_end = point;
}

void RectAnnotation::draw(QPainter &painter) const
{
    const QRectF r = Drawing::spanning(start, m_end);
    if (!(r.width() > 0) || !(r.height() > 0))
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(color, width, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(r);
    painter.restore();
}
