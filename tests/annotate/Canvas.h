#pragma once

#include <QColor>
#include <QImage>
#include <QRect>

// Helpers for looking at rendered pixels the way a person would: white paper, dark ink.
namespace canvas {

// A white image of size points at the given device pixel ratio.
inline QImage white(QSize points, qreal dpr = 1)
{
    QImage image(points * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::white);
    return image;
}

// How much darker than white a pixel is, 0 (white) to 255 (black).
inline int darkness(const QImage &image, int x, int y)
{
    return 255 - qGray(image.pixel(x, y));
}

// The pixel rectangle of every pixel darker than threshold (empty if none).
inline QRect inkBounds(const QImage &image, int threshold = 64)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (darkness(image, x, y) > threshold)
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// The inked area in pixels, counting a partly covered pixel by its coverage.
inline double inkArea(const QImage &image)
{
    double area = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            area += darkness(image, x, y) / 255.0;
    return area;
}

// The rounded mean colour of a pixel rectangle.
inline QRgb meanColor(const QImage &image, QRect area)
{
    double sum[4] = {};
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            sum[0] += qRed(p), sum[1] += qGreen(p), sum[2] += qBlue(p), sum[3] += qAlpha(p);
        }
    }
    const double n = double(area.width()) * area.height();
    return qRgba(qRound(sum[0] / n), qRound(sum[1] / n), qRound(sum[2] / n), qRound(sum[3] / n));
}

// A deterministic, far from smooth test pattern, so that sampling one pixel of a block gives
// a different colour from averaging all of them.
inline QImage pattern(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(
                x, y, qRgb((x * 37 + y * 11) % 256, (x * x + 3 * y) % 256, ((x ^ y) * 5) % 256));
    return image;
}

inline bool sameColor(QRgb a, QRgb b, int tolerance = 1)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance &&
           qAbs(qBlue(a) - qBlue(b)) <= tolerance && qAbs(qAlpha(a) - qAlpha(b)) <= tolerance;
}

} // namespace canvas
