#pragma once

#include <QByteArray>

class QImage;
class QString;

// Encodings of the output image, and the reading of our own PNG files.
namespace ImageEncoding {

// A PNG that decodes to exactly the pixels of Qt's own PNG of the same image (premultiplied
// images are un-premultiplied the same way), made for speed rather than size: fast deflate
// level, one cheap filter, rows compressed on several threads into one zlib stream, and RGB
// instead of RGBA when every pixel is opaque. On screen content it is about as small as Qt's
// default PNG. Empty for a null image or on failure.
QByteArray encodePng(const QImage &image);

// A JPEG through Qt's writer at quality 0 to 100. Empty for a null image or on failure.
QByteArray encodeJpeg(const QImage &image, int quality = 90);

// One of our own PNG files, read as PNG by name: detecting the format would load every image
// format plugin installed, a dozen libraries that stay in memory. Null when unreadable.
QImage readPng(const QString &path);

} // namespace ImageEncoding
