#include "annotate/LineAnnotation.h"

#include <algorithm>
#include <cmath>

#include <QPainter>
#include <QPainterPath>

#include "annotate/Drawing.h"

LineAnnotation::LineAnnotation(QPointF start, QColor color, qreal width, bool arrow)
    : start(start), color(color), width(width), arrow(arrow), m_end(start)
{}

QRectF LineAnnotation::update(QPointF point)
{
    // The arrowhead reaches 2w to each side of the line.
    const qreal reach = width / 2 + (arrow ? 2 * width : 0) + 2;
    const QRectF changed = Drawing::spanning(start, m_end).united(Drawing::spanning(start, point));
    m_end = point;
    return changed.adjusted(-reach, -reach, reach, reach);
}

void LineAnnotation::draw(QPainter &painter) const
{
    if (m_end == start)
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(color);
    if (arrow)
        drawArrow(painter);
    else
        painter.drawLine(start, m_end);
    painter.restore();
}

// The head is 4w long and 4w wide at its base, shortened to the line for lines under 4w;
// the shaft stops at the head's base so its round cap does not blunt the tip.
void LineAnnotation::drawArrow(QPainter &painter) const
{
    const QPointF d = m_end - start;
    const qreal length = std::max(std::hypot(d.x(), d.y()), 1.0);
    const QPointF u = d / length;
    const qreal head = std::min(length, 4 * width);
    const QPointF base = m_end - head * u;
    const QPointF across(-u.y() * 2 * width, u.x() * 2 * width);

    QPainterPath triangle(m_end);
    triangle.lineTo(base + across);
    triangle.lineTo(base - across);
    triangle.closeSubpath();
    triangle.setFillRule(Qt::WindingFill);
    painter.fillPath(triangle, color);

    // A head as long as the line leaves a shaft of no length, whose round cap is a dot at
    // the start; Qt 6.4 draws no caps on a line of no length, but does on a point.
    if (base == start)
        painter.drawPoint(start);
    else
        painter.drawLine(start, base);
}
