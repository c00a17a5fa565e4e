#pragma once

#include <QImage>
#include <QRect>

#include "capture/X11Root.h"

// The plain read of a rectangle of the root window, for servers without a usable
// shared-memory extension: the pixels travel through the connection itself.
namespace GetImageReader {

// A Format_RGB32 copy of rect of the root, or a null image when the server refused any
// part of it. Large rectangles are read in bands that each fit the server's maximum
// request length (or maxBandBytes when smaller and positive); all bands are requested
// before the first answer is awaited.
QImage read(const X11Root &root, const QRect &rect, qsizetype maxBandBytes = 0);

} // namespace GetImageReader
