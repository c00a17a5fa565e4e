#include "annotate/Drawing.h"

#include <algorithm>
#include <cmath>

#include <QFontMetricsF>
#include <QPainter>
#include <QStringList>

void Drawing::drawImage(QPainter &painter, const QImage &image, const QRectF &rect, bool smooth)
{
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    // The whole image in pixels, whatever its device pixel ratio.
    painter.drawImage(rect, image, QRectF(0, 0, image.width(), image.height()));
    painter.restore();
}

void Drawing::drawText(QPainter &painter, const QString &text, QPointF topLeft, const QFont &font,
                       const QColor &color)
{
    const qreal ascent = QFontMetricsF(font).ascent();
    const qreal height = lineHeight(font);
    // An empty text splits into one empty line and a trailing "\n" into an empty last line.
    const QStringList lines = text.split(u'\n');

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setFont(font);
    painter.setPen(color);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!lines[i].isEmpty())
            painter.drawText(QPointF(topLeft.x(), topLeft.y() + ascent + i * height), lines[i]);
    }
    painter.restore();
}

qreal Drawing::lineHeight(const QFont &font)
{
    const QFontMetricsF metrics(font);
    return std::ceil(metrics.ascent() + metrics.descent() + metrics.leading());
}

QPainterPath Drawing::roundedRect(const QRectF &rect, qreal radius)
{
    const QRectF r = rect.normalized();
    const qreal clamped = std::min({radius > 0 ? radius : 0.0, r.width() / 2, r.height() / 2});
    QPainterPath path;
    path.addRoundedRect(r, clamped, clamped);
    return path;
}

QPointF Drawing::floored(QPointF point)
{
    return {std::floor(point.x()), std::floor(point.y())};
}

bool Drawing::contains(const QRectF &rect, QPointF point)
{
    return point.x() >= rect.left() && point.x() < rect.right() && point.y() >= rect.top() &&
           point.y() < rect.bottom();
}

QRectF Drawing::spanning(QPointF a, QPointF b)
{
    return {std::min(a.x(), b.x()), std::min(a.y(), b.y()), std::abs(a.x() - b.x()),
            std::abs(a.y() - b.y())};
}
