#include "capture/ScreenCapture.h"

#include <qpa/qplatformscreen.h>

#include "capture/KWinScreenShot.h"
#include "capture/PortalCapture.h"
#include "capture/ScreenCaptureReaders.h"
#include "capture/ScreenCopy.h"
#include "capture/ServerCopy.h"
#include "platform/Platform.h"
#include "platform/ShellOverview.h"
#include "settings/SystemLog.h"

QSize ScreenShot::pixelSize() const
{
    if (!image.isNull() || !serverCopy)
        return image.size();
    return serverCopy->size;
}

QRect ScreenShot::geometry() const
{
    const QSize pixels = pixelSize();
    if (!screen)
        return QRect(QPoint(), pixels);
    const QRect geometry = screen->geometry();
    // Compared in the platform's own units, which QT_SCALE_FACTOR leaves alone.
    const QPlatformScreen *native = screen->handle();
    if (!native || native->devicePixelRatio() <= 1 || native->geometry().size() != pixels)
        return geometry;
    const qreal ratio = screen->devicePixelRatio();
    return QRect(geometry.topLeft(),
                 QSize(qRound(pixels.width() / ratio), qRound(pixels.height() / ratio)));
}

bool ScreenShot::fitsScreen(qint64 width, qint64 height, const QScreen *screen)
{
    const QSize points = screen->geometry().size();
    return width >= points.width() && std::abs(width * points.height() - height * points.width()) <=
                                          3 * std::max(points.width(), points.height());
}

namespace {

bool readsScreens()
{
    return Platform::current().capture.readsScreens();
}

// The compositor's own copies where it offers them; none when they fail, which says why once
// for as long as they fail the same way.
QList<ScreenShot> copyByCompositor()
{
    static QString lastWhy;
    QString why;
    QList<ScreenShot> shots;
    if (KWinScreenShot::available())
        shots = KWinScreenShot::captureAll(&why);
    else if (ScreenCopy::available())
        shots = ScreenCopy::captureAll(&why);
    else
        return {};
    if (shots.isEmpty() && why != lastWhy)
        systemLog(QStringLiteral("화면 복사에 실패해 포털로 캡처합니다: ") + why);
    lastWhy = shots.isEmpty() ? why : QString();
    return shots;
}

} // namespace

namespace ScreenCapture {

QList<ScreenShot> captureAll()
{
    if (!readsScreens())
        return copyByCompositor();
    return captureAll(Reader::Automatic);
}

QList<ScreenShot> freezeAll()
{
    if (!readsScreens())
        return copyByCompositor();
    QList<ScreenShot> shots = copyInServer();
    return shots.isEmpty() ? captureAll(Reader::Automatic) : shots;
}

void freezeAll(QObject *context, std::function<void(QList<ScreenShot>, bool)> done)
{
    QList<ScreenShot> shots = freezeAll();
    if (!shots.isEmpty() || readsScreens())
        return done(std::move(shots), false);
    ShellOverview::closeThen(context, [context, done = std::move(done)]() mutable {
        PortalCapture::captureAll(context, std::move(done));
    });
}

void prepare()
{
    // With the compositor's copies, the buffers it copies into are made and written once.
    if (readsScreens())
        prepareInServer();
    else if (QString why; ScreenCopy::available())
        ScreenCopy::captureAll(&why);
}

void allowAgain()
{
    PortalCapture::forgetRefusal();
}

} // namespace ScreenCapture
