#pragma once

#include <QList>

#include <functional>

#include "capture/ScreenShot.h"

class QObject;

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
// the server cannot copy, it is captureAll(). Where only the desktop portal can read the
// screens, both are empty: the portal is asked through the freezeAll() below.
QList<ScreenShot> freezeAll();
// freezeAll() for a caller that must not wait: done runs at once where this process reads the
// screens, and once the desktop portal answers where it captures (the event loop runs
// meanwhile; the portal may be asking the user). refused tells that the desktop would not
// allow the capture. Never runs after context is gone.
void freezeAll(QObject *context, std::function<void(QList<ScreenShot> shots, bool refused)> done);
// Makes what freezeAll() keeps between captures, so that the first capture after start is as
// quick as the later ones.
void prepare();
void openPrivacySettings();
// Forgets a refusal the desktop stored for screen captures, so that it asks the user again.
void allowAgain();

} // namespace ScreenCapture
