#pragma once

#include <QList>
#include <QString>

#include <optional>

#include "capture/ScreenShot.h"

// Capture through the compositor's screen-copy protocol (wlroots desktops): the compositor
// copies each output, at its own pixel size and without the pointer, straight into memory
// shared with this process. No picture file is written or decoded on the way.
namespace ScreenCopy {

// Binds the protocol once, so that the first capture does not pay for it. False unless the
// platform layer chose the compositor's copies (it does not offer them, or
// CORVANE_CAPTURE=portal asks for the portal instead).
bool available();

// One shot per screen. Empty, with why set, when the compositor failed to copy an output or
// copied one whose size does not fit its screen.
QList<ScreenShot> captureAll(QString *why);

} // namespace ScreenCopy
