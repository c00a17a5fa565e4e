#include "platform/DisplayPlatform.h"

#include <QFileInfo>
#include <QGuiApplication>

#include "settings/SystemLog.h"

namespace DisplayPlatform {

bool isWaylandSession()
{
    QString socket = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (socket.isEmpty() && qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
        socket = QStringLiteral("wayland-0");
    if (socket.isEmpty())
        return false;
    // A variable left over from another session names no socket here.
    if (!socket.startsWith(QLatin1Char('/')))
        socket = qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + socket;
    return QFileInfo(socket).exists();
}

void preferWaylandInWaylandSession()
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !isWaylandSession())
        return;
    qputenv("QT_QPA_PLATFORM", "wayland;xcb");
}

Kind current()
{
    const QString name = QGuiApplication::platformName();
    if (name == QLatin1String("xcb"))
        return Kind::X11;
    if (name.startsWith(QLatin1String("wayland")))
        return Kind::Wayland;
    return Kind::Other;
}

bool capturesThroughPortal()
{
    const Kind kind = current();
    return kind == Kind::Wayland || (kind == Kind::X11 && isWaylandSession());
}

void logChoice(bool compositorCopies)
{
    switch (current()) {
    case Kind::Wayland:
        systemLog(compositorCopies
                      ? QStringLiteral("화면 플랫폼: Wayland (캡처는 컴포지터의 화면 복사)")
                      : QStringLiteral("화면 플랫폼: Wayland (캡처는 데스크톱 포털)"));
        break;
    case Kind::X11:
        systemLog(isWaylandSession()
                      ? QStringLiteral("화면 플랫폼: X11 (Wayland 세션의 XWayland, 캡처는 "
                                       "데스크톱 포털)")
                      : QStringLiteral("화면 플랫폼: X11"));
        break;
    case Kind::Other:
        systemLog(QStringLiteral("화면 플랫폼: ") + QGuiApplication::platformName());
        break;
    }
}

} // namespace DisplayPlatform
