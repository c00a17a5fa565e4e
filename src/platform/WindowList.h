#pragma once

#include <QList>
#include <QRect>

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

    // Whether this desktop tells its windows at all.
    virtual bool listsWindows() const = 0;
    virtual QList<QRect> topLevelWindows() const = 0;

    // The list for the desktop this process runs on, chosen at the first call from the display
    // system and the compositor found; CORVANE_WINDOW_LIST=none chooses the list of none.
    static const WindowList &current();
    // The windows that show on screen, in its points from its top-left corner, cut to it and
    // rounded out to whole points, topmost first.
    static QList<QRect> onScreen(const QList<QRect> &windows, const QScreen &screen);
};

// The backends the loader chooses from.
std::unique_ptr<WindowList> makeStackingWindowList();
// Null when the process finds no compositor socket to ask.
std::unique_ptr<WindowList> makeSwayWindowList();
