#pragma once

#include <QList>
#include <QRect>

#include "capture/ScreenCapture.h"
#include "capture/ScreenShot.h"

class QScreen;

// The ways captureAll() can read a screen, selectable one at a time so that each can be
// compared with the others and measured alone.
namespace ScreenCapture {

enum class Reader
{
    // Shared memory, then the plain read, then Qt's grab: the first that works.
    Automatic,
    SharedMemory,
    GetImage,
    QtGrab,
};

QList<ScreenShot> captureAll(Reader reader);

// Copies every screen into a pixmap of the X server kept for it; empty when the platform is
// not X11 or the server refused any screen (short of memory).
QList<ScreenShot> copyInServer();

// Makes and warms the pixmaps and segments copyInServer() and ServerCopy::read() keep,
// unless a capture made them already (its overlay may still be showing them).
void prepareInServer();

// A Format_RGB32 image in memory of its own, on huge pages where the system grants them.
QImage freshImage(QSize size);

// The screen's rectangle of the root window in device pixels.
QRect nativeRect(const QScreen *screen);

} // namespace ScreenCapture
