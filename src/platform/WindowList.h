#pragma once

#include <QList>
#include <QRect>
#include <QString>

#include <memory>

class QScreen;

// The desktop's top-level windows as its window manager or compositor reports them: each
// one's outer rectangle (frame and decorations included) in the desktop's own coordinates
// (the X11 root's pixels, the compositor's layout), topmost first, leaving out windows that
// are not shown and this process's own. A desktop that does not tell lists none.
class WindowList
{
public:
    virtual ~WindowList() = default;

    virtual QString name() const = 0;
    // Whether this desktop tells its windows at all.
    virtual bool listsWindows() const = 0;
    virtual QList<QRect> topLevelWindows() const = 0;
    // Gives back to the windows last listed what the overlays took from them while shown.
    virtual void restore() const {}

    // The windows that show on screen, in its points from its top-left corner, cut to it and
    // rounded out to whole points, topmost first.
    static QList<QRect> onScreen(const QList<QRect> &windows, const QScreen &screen);
};

// The backends the loader chooses from.
std::unique_ptr<WindowList> makeStackingWindowList();
// Desktops that keep their windows to themselves (GNOME and KDE under Wayland).
std::unique_ptr<WindowList> makeNullWindowList();
// Null when the process finds no compositor socket to ask.
std::unique_ptr<WindowList> makeSwayWindowList();
