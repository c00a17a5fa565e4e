#include "platform/WindowList.h"

#include <cmath>

#include <QScreen>
#include <qpa/qplatformscreen.h>

#include "platform/DisplayPlatform.h"

namespace {

// Desktops that keep their windows to themselves (GNOME and KDE under Wayland).
class NullWindowList final : public WindowList
{
public:
    bool listsWindows() const override { return false; }
    QList<QRect> topLevelWindows() const override { return {}; }
};

std::unique_ptr<WindowList> load()
{
    if (qEnvironmentVariable("CORVANE_WINDOW_LIST") == QLatin1String("none"))
        return std::make_unique<NullWindowList>();
    // XWayland's root shows the X clients alone; the compositor, where it answers, tells all.
    if (DisplayPlatform::isWaylandSession() ||
        DisplayPlatform::current() == DisplayPlatform::Kind::Wayland) {
        if (auto sway = makeSwayWindowList())
            return sway;
        return std::make_unique<NullWindowList>();
    }
    if (DisplayPlatform::current() == DisplayPlatform::Kind::X11)
        return makeStackingWindowList();
    return std::make_unique<NullWindowList>();
}

} // namespace

const WindowList &WindowList::current()
{
    static const std::unique_ptr<WindowList> list = load();
    return *list;
}

QList<QRect> WindowList::onScreen(const QList<QRect> &windows, const QScreen &screen)
{
    // The desktop's coordinates are the platform screen's; Qt's points may be scaled from them.
    const QRect native = screen.handle() ? screen.handle()->geometry() : screen.geometry();
    const QRect points = screen.geometry();
    if (native.isEmpty() || points.isEmpty())
        return {};
    const qreal sx = qreal(points.width()) / native.width();
    const qreal sy = qreal(points.height()) / native.height();
    QList<QRect> shown;
    for (const QRect &w : windows) {
        const QRect cut = w.intersected(native);
        if (cut.isEmpty())
            continue;
        const qreal left = std::floor((cut.left() - native.left()) * sx);
        const qreal top = std::floor((cut.top() - native.top()) * sy);
        const qreal right = std::ceil((cut.right() + 1 - native.left()) * sx);
        const qreal bottom = std::ceil((cut.bottom() + 1 - native.top()) * sy);
        shown.append(QRect(int(left), int(top), int(right - left), int(bottom - top)));
    }
    return shown;
}
