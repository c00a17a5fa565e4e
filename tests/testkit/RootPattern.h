#pragma once

#include <QRgb>
#include <QString>

// A background for the root window in which every pixel tells its own position, so that a
// capture can be checked pixel by pixel against where it should have been read.
namespace RootPattern {

// Opaque colour of root pixel (x, y) for roots up to 4096 x 2048: red and green are the low
// bytes of x and y, blue holds their high bits. Inverted patterns flip every colour bit.
QRgb at(int x, int y, bool inverted = false);

// Sets the pattern as the background of the root of display and waits until the server has
// painted it. False when the server is unreachable or its pixels are not 24-bit little-endian.
bool paint(const QString &display, bool inverted = false);

} // namespace RootPattern
