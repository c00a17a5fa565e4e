#pragma once

#include "testkit/WaylandDesktop.h"

namespace testkit {

// A headless KWin desktop, run and reached like the sway one: virtual outputs of one pixel size
// side by side, each at its own scale, with kded's tray watcher and KDE's portal. KWin admits a
// program to its screenshots and its fake input only through an installed desktop file naming
// the program's path: the desktop's own helper (input, read-back, wallpaper) is admitted so,
// and so are the programs under test that the session is started with.
class KwinDesktop : public HelperDesktop
{
public:
    // programs (absolute paths) may take KWin's screenshots.
    KwinDesktop(const QList<Output> &outputs, const QStringList &programs)
        : HelperDesktop(outputs), m_admitted(programs)
    {}

protected:
    bool prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const override;

private:
    QStringList m_admitted;
};

} // namespace testkit
