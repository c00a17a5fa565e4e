#pragma once

#include <QColor>
#include <QImage>
#include <QRect>

// Looking at rendered pixels the way a person would: white paper, dark ink.
namespace canvas {

inline QImage white(QSize points, qreal dpr = 1)
{
    QImage image(points * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::white);
    return image;
}

// 0 for white up to 255 for black.
inline int darkness(const QImage &image, int x, int y)
{
    return 255 - qGray(image.pixel(x, y));
}

// The bounds of every pixel darker than threshold; empty if none.
inline QRect inkBounds(const QImage &image, int threshold = 64)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (darkness(image, x, y) > threshold)
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// The rounded mean of the raw (premultiplied where so stored) pixels of area.
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

// Far from smooth, so that one pixel of a block differs from the block's mean.
inline QImage pattern(QSize size, bool translucent = false)
{
    QImage image(size, translucent ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixelColor(x, y,
                                QColor((x * 37 + y * 11) % 256, (x * x + 3 * y) % 256,
                                       ((x ^ y) * 5) % 256,
                                       translucent ? (x * 13 + y * 7) % 256 : 255));
    return image;
}

inline bool sameColor(QRgb a, QRgb b, int tolerance = 1)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance &&
           qAbs(qBlue(a) - qBlue(b)) <= tolerance && qAbs(qAlpha(a) - qAlpha(b)) <= tolerance;
}

} // namespace canvas
