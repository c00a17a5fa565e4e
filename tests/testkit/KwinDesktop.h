#pragma once

#include "testkit/WaylandDesktop.h"

namespace testkit {

// A headless KWin desktop, run and reached like the sway one: virtual outputs of one pixel size
// side by side, each at its own scale, with kded's tray watcher and KDE's portal. KWin admits a
// program to its screenshots and its fake input only through an installed desktop file naming
// the program's path: the desktop's own helper (input, read-back, wallpaper) is admitted so,
// and admit() does the same for a program under test.
class KwinDesktop : public HelperDesktop
{
public:
    using HelperDesktop::HelperDesktop;

    // Installs a desktop file in the session that lets program (an absolute path) take KWin's
    // screenshots, and waits until KWin has seen it.
    bool admit(const QString &program) const;

protected:
    bool prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const override;
};

} // namespace testkit
