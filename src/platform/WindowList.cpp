#include "platform/WindowList.h"

#include <cmath>

#include <QScreen>
#include <qpa/qplatformscreen.h>

namespace {

class NullWindowList final : public WindowList
{
public:
    QString name() const override { return QStringLiteral("없음"); }
    bool listsWindows() const override { return false; }
    QList<QRect> topLevelWindows() const override { return {}; }
};

} // namespace

std::unique_ptr<WindowList> makeNullWindowList()
{
    return std::make_unique<NullWindowList>();
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
