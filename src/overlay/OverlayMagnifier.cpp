#include "overlay/OverlayView.h"

#include <cmath>

#include <QFontMetricsF>
#include <QPainter>

#include "annotate/Drawing.h"

namespace {

const QColor kMagnifierBackground(40, 40, 40);

// The ring one point wide just inside r.
void fillFrame(QPainter &painter, const QRectF &r, const QColor &color)
{
    painter.fillRect(QRectF(r.left(), r.top(), r.width(), 1), color);
    painter.fillRect(QRectF(r.left(), r.bottom() - 1, r.width(), 1), color);
    painter.fillRect(QRectF(r.left(), r.top() + 1, 1, r.height() - 2), color);
    painter.fillRect(QRectF(r.right() - 1, r.top() + 1, 1, r.height() - 2), color);
}

// The magnifier's layout for a view of the given scale, in points: a frame of one point round
// a grid of `pixels` squares, and two caption lines below it.
struct MagnifierLayout
{
    int reach;
    int pixels;
    qreal cell;
    qreal lineHeight;

    MagnifierLayout(qreal scale, const QFont &font)
        : reach(int(OverlayView::magnifierReach * scale)), pixels(2 * reach + 1),
          cell(OverlayView::magnifierZoom / scale), lineHeight(Drawing::lineHeight(font))
    {}
    qreal grid() const { return pixels * cell; }
    QSizeF size() const { return {grid() + 2, grid() + 8 + 2 * lineHeight}; }
};

} // namespace

QPoint OverlayView::magnifiedPixel() const
{
    const QPointF p = m_pointer.value_or(QPointF());
    return {std::min(int(std::floor(p.x() * m_scale)), m_screenImage.width() - 1),
            std::min(int(std::floor(p.y() * m_scale)), m_screenImage.height() - 1)};
}

std::optional<QRectF> OverlayView::magnifierRect() const
{
    const bool dragging =
        m_mode == Mode::selecting || m_mode == Mode::moving || m_mode == Mode::resizing;
    if (!m_pointer || m_screenImage.isNull() ||
        !(dragging || (m_mode == Mode::idle && !hasSelection())))
        return std::nullopt;
    const QSizeF size = MagnifierLayout(m_scale, m_font).size();
    const QPointF p = *m_pointer;
    // Below and right of the pointer, or across it from an edge it would pass.
    qreal x = p.x() + 1 + magnifierGap, y = p.y() + 1 + magnifierGap;
    if (x + size.width() > width())
        x = p.x() - magnifierGap - size.width();
    if (y + size.height() > height())
        y = p.y() - magnifierGap - size.height();
    x = std::max(0.0, std::min(x, width() - size.width()));
    y = std::max(0.0, std::min(y, height() - size.height()));
    return QRectF(QPointF(x, y), size);
}

QStringList OverlayView::magnifierText() const
{
    if (!magnifierRect())
        return {};
    const QPoint pixel = magnifiedPixel();
    return {QStringLiteral("%1, %2").arg(pixel.x()).arg(pixel.y()),
            QColor(m_screenImage.pixel(pixel)).name(QColor::HexRgb).toUpper()};
}

void OverlayView::drawMagnifier(QPainter &painter, const QRectF &d) const
{
    const std::optional<QRectF> box = magnifierRect();
    if (!box || !box->intersects(d))
        return;
    const MagnifierLayout layout(m_scale, m_font);
    const QPoint pixel = magnifiedPixel();
    painter.save();
    painter.setClipRect(d);
    painter.fillRect(*box, kMagnifierBackground);
    // Pixels beyond the picture's edges come out clear, over the background.
    const QImage pixels = m_screenImage.copy(pixel.x() - layout.reach, pixel.y() - layout.reach,
                                             layout.pixels, layout.pixels);
    const QRectF grid(box->topLeft() + QPointF(1, 1), QSizeF(layout.grid(), layout.grid()));
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(grid, pixels);
    const QRectF centre(grid.topLeft() + QPointF(layout.reach, layout.reach) * layout.cell,
                        QSizeF(layout.cell, layout.cell));
    fillFrame(painter, centre.adjusted(-1, -1, 1, 1), Qt::white);
    fillFrame(painter, centre.adjusted(-2, -2, 2, 2), Qt::black);
    const QStringList lines = magnifierText();
    for (int i = 0; i < lines.size(); ++i) {
        const qreal width = QFontMetricsF(m_font).horizontalAdvance(lines[i]);
        Drawing::drawText(
            painter, lines[i],
            QPointF(box->center().x() - width / 2, grid.bottom() + 4 + i * layout.lineHeight),
            m_font, Qt::white);
    }
    painter.restore();
}
