#pragma once

#include <QColor>
#include <QImage>
#include <QString>

namespace testkit {

// A picture of `points` at scale, filled: what a golden image is painted on.
inline QImage canvas(QSize points, qreal scale, const QColor &fill = Qt::transparent)
{
    QImage image(points * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(fill);
    return image;
}

// Far from smooth, so that one pixel of a block differs from the block's mean; with alpha,
// every alpha value at many row positions (Qt converts groups of pixels and the rest of a row
// differently).
inline QImage pattern(QSize size, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(size, format);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            image.setPixelColor(x, y,
                                QColor((x * 37 + y * 11) % 256, (x * x + 3 * y) % 256,
                                       ((x ^ y) * 5) % 256,
                                       image.hasAlphaChannel() ? (x * 13 + y * 7) % 256 : 255));
        }
    }
    return image;
}

// How many pixels of two images of the same size differ by more than `tolerance` in a channel,
// or -1 if their sizes differ. Differing pixels are marked red in *diff, if given.
int differingPixels(const QImage &actual, const QImage &expected, int tolerance,
                    QImage *diff = nullptr);

// Compares a painted image with the reviewed golden PNG at goldenPath. Two pixels match when
// every channel differs by at most `tolerance`; the images match when at most `budget`
// pixels differ. On a mismatch, <name>.actual.png and <name>.diff.png (differing pixels in
// red over a faded copy) are written to the current folder and a warning says where.
// With CORVANE_UPDATE_GOLDENS=1 in the environment the golden is written instead and the
// comparison passes: that is the one way to regenerate them.
bool matchesGolden(const QImage &actual, const QString &goldenPath, int tolerance = 24,
                   int budget = 40);

} // namespace testkit
