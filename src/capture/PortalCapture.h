#pragma once

#include <QImage>
#include <QList>
#include <QRect>

#include "capture/ScreenShot.h"

// Capture through the desktop portal's Screenshot interface, for sessions whose screens a
// client cannot read itself. The portal answers with one picture of the whole screen layout.
namespace PortalCapture {

// One call to the portal, cut into one shot per screen. Empty, with one line in the system
// log saying why, when the portal refuses or fails.
QList<ScreenShot> captureAll();

// The portal's picture file as one Format_RGB32 image. An 8-bit RGB or RGBA PNG without
// interlacing is decoded on two threads, one inflating while the other undoes the row filters
// behind it, straight into that format; any other file goes through QImageReader. Null when
// the data cannot be decoded.
QImage decodePicture(const QByteArray &data);

// A screen's place in the layout: its geometry in layout units and its pixels per unit.
struct Area
{
    QRect geometry;
    qreal scale = 1;
};

// Cuts a picture of the bounding box of areas, rendered at one scale throughout, into one
// Format_RGB32 image per area at that area's own pixel size; a piece rendered at another scale
// is resampled (sampled at a whole multiple of its scale). Empty when the picture's size fits
// no single scale of the layout.
QList<QImage> cutLayout(const QImage &picture, const QList<Area> &areas);

} // namespace PortalCapture
