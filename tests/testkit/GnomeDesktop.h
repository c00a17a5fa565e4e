#pragma once

#include "testkit/WaylandDesktop.h"

namespace testkit {

// A headless GNOME Shell desktop, run and reached like the sway one: its outputs are virtual
// monitors side by side in GNOME's default layout mode, where the shell places them by their
// pixels; input goes through mutter's remote-desktop API and the screen is read with the
// shell's own screenshot call, both by a helper in the session (gnome-input.py).
class GnomeDesktop : public HelperDesktop
{
public:
    using HelperDesktop::HelperDesktop;

    QImage screen() const override;

protected:
    bool prepare(const QTemporaryDir &dir, QByteArray *script, QStringList *args) const override;
    QStringList helper() const override;
    QRect points(const QRect &pixels) const override;

private:
    // Output i's left edge in the shell's pixels.
    int pixelX(qsizetype i) const;
};

} // namespace testkit
