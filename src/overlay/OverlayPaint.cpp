#include "overlay/OverlayView.h"

#include <cmath>
#include <cstdint>

#include <QFontMetricsF>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>

#include "annotate/Annotation.h"
#include "annotate/Drawing.h"
#include "overlay/ServerSurface.h"

namespace {

const QColor kLabelBackground = QColor::fromRgbF(40 / 255.0, 40 / 255.0, 40 / 255.0, 200 / 255.0);
const QColor kTipBackground = QColor::fromRgbF(40 / 255.0, 40 / 255.0, 40 / 255.0, 230 / 255.0);
const QColor kErrorBackground = QColor::fromRgbF(0.72, 0.11, 0.11, 0.95);

// A rectangle in points as the pixels it covers at `scale`.
QRectF inPixels(const QRectF &r, qreal scale)
{
    return {r.x() * scale, r.y() * scale, r.width() * scale, r.height() * scale};
}

// Draws the part of a full-view image that falls into r, pixel for pixel: only that part is
// read, so a small repaint of a 4K overlay stays cheap.
void drawImagePart(QPainter &painter, const QImage &image, qreal scale, const QRectF &r)
{
    painter.drawImage(r, image, inPixels(r, scale));
}

// Writes the picture's pixels in `region` halved straight into the image the painter paints
// on, in one pass where a drawing and a fill over it would take two (the first frame of a 4K
// overlay is all dimmed picture). Only where that gives exactly what the two would: an opaque
// picture put pixel for pixel onto a 32-bit image. Returns the part written.
QRegion writeDimmed(QPainter &painter, const QImage &picture, qreal scale, const QRegion &region)
{
    QPaintEngine *engine = painter.paintEngine();
    QPaintDevice *device = engine ? engine->paintDevice() : nullptr;
    if (!device || device->devType() != QInternal::Image ||
        picture.format() != QImage::Format_RGB32 || painter.opacity() != 1.0 ||
        painter.compositionMode() != QPainter::CompositionMode_SourceOver)
        return {};
    auto *target = static_cast<QImage *>(device);
    const QTransform t = painter.deviceTransform();
    const QPoint offset(qRound(t.dx()), qRound(t.dy()));
    if ((target->format() != QImage::Format_RGB32 &&
         target->format() != QImage::Format_ARGB32_Premultiplied) ||
        !target->isDetached() || t.type() > QTransform::TxScale || t.m11() != scale ||
        t.m22() != scale || QPointF(offset) != QPointF(t.dx(), t.dy()))
        return {};
    // Qt clips to the repainted area in the target's pixels; so must this.
    const QRegion clip = engine->systemClip();
    const QRegion allowed = clip.isEmpty() ? QRegion(target->rect()) : clip & target->rect();
    QRegion written;
    for (const QRect &r : region) {
        const QRectF exact = inPixels(r, scale);
        const QRect source = exact.toRect();
        if (QRectF(source) != exact || !picture.rect().contains(source))
            continue;
        const QRegion parts = allowed & source.translated(offset);
        for (const QRect &part : parts) {
            for (int y = part.top(); y <= part.bottom(); ++y) {
                const uchar *line = picture.constScanLine(y - offset.y());
                const auto *from =
                    reinterpret_cast<const uint32_t *>(line) + (part.left() - offset.x());
                auto *to = reinterpret_cast<uint32_t *>(target->scanLine(y)) + part.left();
                Drawing::dimRow(from, to, part.width());
            }
        }
        written += r;
    }
    return written;
}

void drawCentredText(QPainter &painter, const QString &text, const QFont &font, const QRectF &box)
{
    const QSizeF size = QFontMetricsF(font).size(0, text);
    Drawing::drawText(
        painter, text,
        QPointF(box.center().x() - size.width() / 2, box.center().y() - size.height() / 2), font,
        Qt::white);
}

// The dashed border: the selection's outermost points walked clockwise from the top-left
// corner, four white and four clear. It is filled in runs, not stroked, so that the part of
// it inside d comes out exactly as it does in the whole (a stroke cut by a clip may move its
// dashes by a pixel), and only the runs that meet d cost anything.
void drawDashedBorder(QPainter &painter, const QRectF &sel, const QRectF &d)
{
    // A selection one point wide or high has sides of no length: its line is walked down
    // and back up, as a stroke of the flat rectangle would be.
    const qreal L = sel.left(), T = sel.top(), R = sel.right() - 1, B = sel.bottom() - 1;
    // Each side: its first point, its direction and its number of points.
    struct Side
    {
        QPointF start;
        QPointF step;
        qreal length;
    };
    const Side sides[] = {{{L, T}, {1, 0}, R - L},
                          {{R, T}, {0, 1}, B - T},
                          {{R, B}, {-1, 0}, R - L},
                          {{L, B}, {0, -1}, B - T}};
    qreal along = 0;
    for (const Side &side : sides) {
        const QPointF end = side.start + side.step * (side.length - 1);
        const QRectF points = QRectF(side.start, end).normalized().adjusted(0, 0, 1, 1);
        if (points.intersects(d)) {
            // The first dash that can reach this side, up to the last one that starts on it.
            for (qreal dash = std::floor(along / 8) * 8; dash < along + side.length; dash += 8) {
                const qreal from = std::max(dash, along) - along;
                const qreal to = std::min(dash + 4, along + side.length) - along;
                if (!(to > from))
                    continue;
                const QPointF a = side.start + side.step * from;
                const QPointF b = side.start + side.step * (to - 1);
                const QRectF run = QRectF(a, b).normalized().adjusted(0, 0, 1, 1);
                if (run.intersects(d))
                    painter.fillRect(run, Qt::white);
            }
        }
        along += side.length;
    }
}

} // namespace

std::array<QRectF, 8> OverlayView::handleSquares() const
{
    const qreal minX = m_sel.left(), minY = m_sel.top();
    const qreal x2 = m_sel.right() - 1, y2 = m_sel.bottom() - 1;
    const qreal mx = std::floor((minX + x2) / 2), my = std::floor((minY + y2) / 2);
    const QPointF centres[] = {{minX, minY}, {mx, minY}, {x2, minY}, {x2, my},
                               {x2, y2},     {mx, y2},   {minX, y2}, {minX, my}};
    std::array<QRectF, 8> squares;
    for (size_t i = 0; i < squares.size(); ++i)
        squares[i] = QRectF(centres[i].x() - 3, centres[i].y() - 3, 6, 6);
    return squares;
}

QRectF OverlayView::outlined() const
{
    if (hasSelection())
        return m_sel;
    return pickedWindow().value_or(QRectF());
}

std::optional<QRectF> OverlayView::pickedWindowBounds() const
{
    const std::optional<QRectF> window = pickedWindow();
    if (!window)
        return std::nullopt;
    return window->united(labelRect());
}

QString OverlayView::sizeText() const
{
    // The size of what the output actions give.
    const QRect pixels = pixelsOf(outlined());
    return QStringLiteral("%1x%2").arg(pixels.width()).arg(pixels.height());
}

QRectF OverlayView::labelRect() const
{
    const QSizeF text = QFontMetricsF(m_font).size(0, sizeText());
    const qreal H = std::ceil(text.height()) + 4, W = std::ceil(text.width()) + 8;
    const QRectF s = outlined();
    qreal y = s.top() - H - 4;
    if (y < 0)
        y = s.top() + 4;
    return {s.left(), y, W, H};
}

std::optional<QRectF> OverlayView::chromeBounds() const
{
    if (!hasSelection())
        return std::nullopt;
    QRectF r = m_sel.adjusted(-10, -10, 10, 10).united(labelRect());
    if (m_mode == Mode::idle || m_mode == Mode::drawing) {
        r = r.united(toolbarRect()).united(toolsRect());
        if (const auto tip = tipRect())
            r = r.united(*tip);
    }
    return r;
}

std::optional<QRectF> OverlayView::errorRect() const
{
    if (!m_errorMessage || !hasSelection())
        return std::nullopt;
    const QSizeF size = QFontMetricsF(m_font).size(0, *m_errorMessage);
    return QRectF(m_sel.left() + 8, m_sel.top() + 8, std::ceil(size.width()) + 16,
                  std::ceil(size.height()) + 10);
}

void OverlayView::paintEvent(QPaintEvent *event)
{
    if (m_surface) {
        paintOnServer(event->region());
        return;
    }
    QPainter painter(this);
    drawContents(painter, QRectF(event->rect()));
}

std::vector<QRect> OverlayView::clientDrawnParts() const
{
    std::vector<QRect> parts;
    if (const auto magnifier = magnifierRect())
        parts.push_back(magnifier->toAlignedRect());
    const QRectF o = outlined();
    if (o.isEmpty() || m_screenImage.isNull())
        return parts;
    const QRect sel = m_sel.toAlignedRect();
    // The dashed border and the grips: four strips along the edges, as thick as the grips.
    const qreal L = o.left(), T = o.top(), W = o.width(), H = o.height();
    for (const QRectF &r :
         {QRectF(L - 3, T - 3, W + 6, 6), QRectF(L - 3, T + H - 4, W + 6, 6),
          QRectF(L - 3, T + 3, 6, H - 7), QRectF(L + W - 4, T + 3, 6, H - 7), labelRect()})
        parts.push_back(r.toAlignedRect());
    if (!hasSelection())
        return parts;
    if (!m_shapes.empty() || m_drawing)
        parts.push_back(sel);
    if (m_mode == Mode::idle || m_mode == Mode::drawing) {
        parts.push_back(toolbarRect().toAlignedRect());
        parts.push_back(toolsRect().toAlignedRect());
        if (const auto tip = tipRect())
            parts.push_back(tip->toAlignedRect());
    }
    if (const auto box = errorRect())
        parts.push_back(box->toAlignedRect());
    return parts;
}

void OverlayView::paintOnServer(const QRegion &region)
{
    const auto toDevice = [this](const QRect &r) { return inPixels(r, m_scale).toAlignedRect(); };
    // Each part is drawn whole where the region touches it: a few larger pieces cost less
    // than the many small rectangles the region would split them into.
    QRegion drawn;
    std::vector<QRect> pieces;
    for (const QRect &part : clientDrawnParts()) {
        const QRect piece = (region & part).boundingRect();
        if (!piece.isEmpty() && !QRegion(piece).subtracted(drawn).isEmpty()) {
            pieces.push_back(piece);
            drawn += piece;
        }
    }
    const QRegion copied = region - drawn;
    const QRegion clear = copied & outlined().toAlignedRect();
    for (const QRect &r : copied - clear)
        m_surface->copy(toDevice(r), true);
    for (const QRect &r : clear)
        m_surface->copy(toDevice(r), false);
    for (const QRect &r : pieces) {
        // Drawn a pixel wider than put: a clip edge can cost a stroke its end pixel, and the
        // edges must not fall where the pixels are shown.
        const QRect shown = toDevice(r);
        const QRect device = shown.adjusted(-1, -1, 1, 1);
        QImage buffer = m_surface->canvas(device.size());
        buffer.setDevicePixelRatio(m_scale);
        QPainter painter(&buffer);
        painter.translate(-QPointF(device.topLeft()) / m_scale);
        drawContents(painter,
                     QRectF(QPointF(device.topLeft()) / m_scale, QSizeF(device.size()) / m_scale));
        painter.end();
        m_surface->put(buffer, shown.translated(-device.topLeft()), shown.topLeft());
    }
    m_surface->flush();
}

void OverlayView::drawContents(QPainter &painter, const QRectF &d) const
{
    painter.save();
    painter.setClipRect(d);
    const QRectF area = d.intersected(QRectF(rect()));
    // The picture is skipped where a shape paints over it opaquely (a mosaic being dragged
    // repaints its whole area on every step).
    QRegion picture(area.toAlignedRect());
    for (const auto &shape : m_shapes)
        picture -= shape->opaqueArea().intersected(m_sel).toRect();
    // Dimmed while painting instead of from a second full-screen copy (33 MB at 3840x2160):
    // black at alpha 128 over a pixel halves each channel exactly as the dimming primitive does.
    const QRectF lit = outlined();
    const QRegion dim = QRegion(area.toAlignedRect()) - lit.toAlignedRect();
    const QRegion written = writeDimmed(painter, m_screenImage, m_scale, picture & dim);
    for (const QRect &r : picture - written)
        drawImagePart(painter, m_screenImage, m_scale, QRectF(r));
    for (const QRect &r : dim - written)
        painter.fillRect(r, QColor(0, 0, 0, 128));
    painter.restore();
    if (lit.isEmpty()) {
        drawMagnifier(painter, d);
        return;
    }

    painter.save();
    painter.setClipRect(d);
    if (!m_shapes.empty()) {
        painter.save();
        painter.setClipRect(m_sel, Qt::IntersectClip);
        painter.setRenderHint(QPainter::Antialiasing, true);
        for (const auto &shape : m_shapes)
            shape->draw(painter);
        painter.restore();
    }

    // Parts outside the repainted area are skipped, not only clipped: a pointer step repaints
    // a few hundred points and should not pay for the text and icons of the rest.
    const auto touches = [&d](const QRectF &r) { return d.intersects(r); };
    painter.setBrush(Qt::NoBrush);
    drawDashedBorder(painter, lit, d);

    painter.setPen(QPen(Qt::black, 1));
    for (const QRectF &square : handleSquares()) {
        if (!hasSelection() || !touches(square))
            continue;
        painter.fillRect(square, Qt::white);
        painter.drawRect(square.adjusted(0.5, 0.5, -0.5, -0.5));
    }

    const QRectF label = labelRect();
    if (touches(label)) {
        painter.fillRect(label, kLabelBackground);
        drawCentredText(painter, sizeText(), m_font, label);
    }

    if (hasSelection() && (m_mode == Mode::idle || m_mode == Mode::drawing)) {
        if (touches(toolbarRect()) && m_uploadProgress)
            drawUploadProgress(painter, *m_uploadProgress);
        else if (touches(toolbarRect()))
            drawToolbar(painter);
        if (touches(toolsRect()))
            drawToolsBar(painter);
        if (!m_uploadProgress) {
            const auto tip = currentTip();
            const auto box = tipRect();
            if (tip && box && touches(*box)) {
                painter.fillRect(*box, kTipBackground);
                drawCentredText(painter, tip->text, m_font, *box);
            }
        }
    }

    if (const auto box = errorRect(); box && touches(*box)) {
        painter.fillRect(*box, kErrorBackground);
        drawCentredText(painter, *m_errorMessage, m_font, *box);
    }
    painter.restore();
    drawMagnifier(painter, d);
}
