#include "annotate/RectAnnotation.h"

#include <QPainter>

#include "annotate/Drawing.h"

RectAnnotation::RectAnnotation(QPointF start, QColor color, qreal width)
    : start(start), color(color), width(width), m_end(start)
{}

QRectF RectAnnotation::update(QPointF point)
{
    const qreal reach = width / 2 + 2;
    const QRectF changed = Drawing::spanning(start, m_end).united(Drawing::spanning(start, point));
    m_end = point;
    return changed.adjusted(-reach, -reach, reach, reach);
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
