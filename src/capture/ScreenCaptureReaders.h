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

// The screen's rectangle of the root window in device pixels. Qt keeps a scaled screen's
// top-left at its native position and divides only the size by the pixel ratio.
QRect nativeRect(const QScreen *screen);

} // namespace ScreenCapture
