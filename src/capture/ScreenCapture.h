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
void openPrivacySettings();

} // namespace ScreenCapture
