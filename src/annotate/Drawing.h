#pragma once

#include <cstdint>
#include <optional>

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QString>

class QPainter;

// Stateless drawing and geometry operations shared by the overlay and the annotation shapes.
// Geometry is in view points (y downward); images are in device pixels. Every operation that
// changes a painter's state saves it first and restores it before returning.
namespace Drawing {

// Draws the whole image stretched over rect, upright. With smooth false each image pixel
// becomes a solid block (nearest neighbour), as the overlay, the output and the mosaic need.
void drawImage(QPainter &painter, const QImage &image, const QRectF &rect, bool smooth = true);

// Draws text split at every "\n", the first line's top-left at topLeft. Line i has its
// baseline at topLeft.y + ascent + i * lineHeight(font). An empty text is one empty line.
void drawText(QPainter &painter, const QString &text, QPointF topLeft, const QFont &font,
              const QColor &color);

// The distance between two lines of drawText: ceil(ascent + descent + leading). Fonts are
// measured without a device, so they should be sized in pixels (QFont::setPixelSize).
qreal lineHeight(const QFont &font);

// The rectangle with circular corners; the radius is clamped to half the width and height.
QPainterPath roundedRect(const QRectF &rect, qreal radius);

// A columns x rows image (ARGB32 premultiplied) that, drawn over rect without interpolation,
// shows that part of source as blocks of about `block` points. rect is in points, source in
// pixels, scale is pixels per point. Each output pixel averages the source pixels it covers.
// Empty when the area covers no pixel of the source or the parameters are unusable.
std::optional<QImage> pixelated(const QImage &source, const QRectF &rect, qreal scale, qreal block);

// A copy at half brightness (black at alpha one half over the image), ARGB32 premultiplied,
// with the same size and device pixel ratio. Returns image itself if no copy can be made.
QImage dimmed(const QImage &image);
// The same for `count` opaque pixels: each written to `to` with every channel halved.
void dimRow(const uint32_t *from, uint32_t *to, int count);

// Both coordinates rounded down to whole numbers.
QPointF floored(QPointF point);

// Whether rect holds point, its minimum edges inclusive and its maximum edges exclusive.
bool contains(const QRectF &rect, QPointF point);

// The normalised rectangle with corners a and b, in either order.
QRectF spanning(QPointF a, QPointF b);

} // namespace Drawing
