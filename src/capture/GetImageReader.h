#pragma once

#include <QImage>
#include <QRect>

#include "capture/X11Root.h"

// The plain read of a rectangle of a drawable (the root window, or a pixmap holding a copy of
// it): the pixels travel through the connection itself.
namespace GetImageReader {

// A Format_RGB32 copy of rect of the root, or a null image when the server refused any
// part of it. Large rectangles are read in bands of about 1 MiB (or maxBandBytes when
// positive), each within the server's maximum request length, a few requested ahead of the
// answer awaited.
QImage read(const X11Root &root, const QRect &rect, qsizetype maxBandBytes = 0);
// The same for any drawable of the root's depth whose bounds contain rect.
QImage read(xcb_connection_t *c, xcb_drawable_t drawable, const PixelLayout &layout,
            const QRect &bounds, const QRect &rect, qsizetype maxBandBytes = 0);

} // namespace GetImageReader
