#pragma once

#include <QImage>
#include <QPointer>
#include <QScreen>

#include <memory>

struct ServerCopy;

// One display frozen at the moment of capture. The image is in device pixels; its width
// divided by the screen's geometry width is the display's pixel scale. A shot may come with
// the X server's copy of the screen instead of the image, which is then read from it later.
struct ScreenShot
{
    QPointer<QScreen> screen;
    QImage image;
    std::shared_ptr<const ServerCopy> serverCopy;

    QSize pixelSize() const;
    // Where the image shows in Qt's global coordinates, at the screen's pixel ratio: the
    // screen's geometry, except on an output whose compositor lays outputs out in their pixels
    // (GNOME Shell's default mode) and so gives a scaled output its pixel size as its logical
    // size, while its windows are measured in its pixels over its scale all the same.
    QRect geometry() const;

    // Whether a copy of width x height pixels shows the whole screen: at its shape, give or
    // take the rounding of its points (up to scale 3), and no fewer pixels than points. Not at
    // Qt's ratio: Qt 6.4 rounds a fractional scale (1.25, 1.5) up to a whole one.
    static bool fitsScreen(qint64 width, qint64 height, const QScreen *screen);
};
