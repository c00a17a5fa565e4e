#pragma once

#include <QByteArray>
#include <QImage>

// Other ways to decode the portal's PNG picture into one Format_RGB32 image, timed beside
// corvane's own (PortalCapture::decodePicture). Each gives a null image when it cannot.
namespace ReferenceDecoders {

// zlib inflating on one thread while the calling one undoes the filters of the rows inflated
// so far, byte by byte: corvane's decoder before it used libdeflate. 8-bit RGB and RGBA only.
QImage zlibTwoThreads(const QByteArray &png);

// libspng decoding into RGBA, converted by Qt.
QImage spng(const QByteArray &png);

// Qt's own reader (libpng), converted.
QImage qt(const QByteArray &png);

} // namespace ReferenceDecoders
