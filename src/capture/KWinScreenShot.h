#pragma once

#include <QList>
#include <QString>

#include "capture/ScreenShot.h"

// Capture through KWin's own screenshot interface (org.kde.KWin.ScreenShot2): KWin writes each
// output's raw pixels, at its pixel size and without the pointer, into a memory file. No picture
// file is written or decoded on the way. KWin admits only programs that an installed desktop file
// names with that interface in X-KDE-DBUS-Restricted-Interfaces.
namespace KWinScreenShot {

// Whether the platform layer chose KWin's screenshots (KWin offers them, and CORVANE_CAPTURE
// does not ask for the portal instead).
bool available();

// One shot per screen. Empty, with why set (KWin's own error when it refused), when KWin
// refused, failed to copy an output or copied one whose size does not fit its screen.
QList<ScreenShot> captureAll(QString *why);

} // namespace KWinScreenShot
