#pragma once

#include <QList>

#include "capture/ScreenShot.h"

// Stateless access to the displays: the screen-recording permission and the capture of
// every display, one image each, in the platform's screen order (primary first).
namespace ScreenCapture {

bool hasPermission();
void requestPermission();
// Captures every screen in one pass. A screen that cannot be read is left out; the list
// is empty when none can. Each image is a copy of its own, valid after later captures.
QList<ScreenShot> captureAll();
// The same capture for an overlay that must show at once: on X11 the screens are copied
// within the server and the shots carry those copies without images (read them with
// ServerCopy::read()); the copies stay valid until the next freezeAll(). Elsewhere, and when
// the server cannot copy, it is captureAll().
QList<ScreenShot> freezeAll();
// Makes what freezeAll() keeps between captures, so that the first capture after start is as
// quick as the later ones.
void prepare();
void openPrivacySettings();

} // namespace ScreenCapture
