#include "annotate/StrokeAnnotation.h"

#include <QPainter>
#include <QPainterPath>

#include "annotate/Drawing.h"

StrokeAnnotation::StrokeAnnotation(QPointF start, QColor color, qreal width)
    : color(color), width(width), m_points{start}
{}

QColor StrokeAnnotation::markerColor(QColor color)
{
    color.setAlpha(110);
    return color;
}

QRectF StrokeAnnotation::update(QPointF point)
{
    const QPointF last = m_points.constLast();
    if (last == point)
        return {};
    m_points.append(point);
    // The new segment and the join at its start, with the round caps' reach.
    const qreal reach = width / 2 + 2;
    return Drawing::spanning(last, point).adjusted(-reach, -reach, reach, reach);
}

void StrokeAnnotation::draw(QPainter &painter) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    if (m_points.size() == 1) {
        const QPointF p = m_points.constFirst();
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawEllipse(QRectF(p.x() - width / 2, p.y() - width / 2, width, width));
    } else {
        // One path stroked once: a translucent stroke crossing itself is not darker there.
        // Segments that cannot reach the painter's clip are left out, so that repainting a
        // few points of a long stroke does not stroke all of it; whatever reaches the clip,
        // joins and crossings included, is drawn as before.
        const QRectF clip = painter.hasClipping() ? painter.clipBoundingRect() : QRectF();
        const qreal reach = width / 2 + 2;
        QPainterPath path;
        bool joined = false;
        for (qsizetype i = 1; i < m_points.size(); ++i) {
            const QPointF a = m_points[i - 1], b = m_points[i];
            if (!clip.isNull() &&
                !clip.intersects(Drawing::spanning(a, b).adjusted(-reach, -reach, reach, reach))) {
                joined = false;
                continue;
            }
            if (!joined)
                path.moveTo(a);
            path.lineTo(b);
            joined = true;
        }
        painter.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(path);
    }
    painter.restore();
}
