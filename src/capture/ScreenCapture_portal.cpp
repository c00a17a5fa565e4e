#include "capture/PortalCapture.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QUrl>
#include <qpa/qplatformscreen.h>

#include "platform/DesktopPortal.h"
#include "platform/Milestone.h"
#include "settings/SystemLog.h"

namespace {

const QString kFailed = QStringLiteral("화면을 캡처하지 못했습니다: ");

// The picture as followed while it was written or, failing that, the whole file, which is then
// removed wherever the portal wrote it: a desktop may put it in the user's pictures and leave
// it there, and a picture of the screen is nobody's to keep. A file that gave no picture is
// left alone: it may be no capture at all, or the only copy of one.
QImage takePicture(PortalCapture::PictureWatch &watch, const QString &file)
{
    QImage picture = watch.take(file);
    if (picture.isNull()) {
        const QByteArray data = PortalCapture::readPicture(file);
        if (!data.isEmpty())
            picture = PortalCapture::decodePicture(data);
    }
    if (!picture.isNull())
        QFile::remove(file);
    return picture;
}

QList<ScreenShot> cutIntoScreens(const QImage &picture)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    QList<PortalCapture::Area> areas;
    // The compositor's own layout: QT_SCALE_FACTOR shrinks Qt's screen sizes but not their
    // places, and the picture is of the compositor's layout.
    for (const QScreen *screen : screens)
        areas.append({screen->handle()->geometry(), screen->handle()->devicePixelRatio()});
    const QList<QImage> pieces = PortalCapture::cutLayout(picture, areas);
    if (pieces.size() != screens.size()) {
        systemLog(kFailed + QStringLiteral("그림 크기 %1x%2 가 화면 배치와 맞지 않습니다")
                                .arg(picture.width())
                                .arg(picture.height()));
        return {};
    }
    QList<ScreenShot> shots;
    for (int i = 0; i < screens.size(); ++i)
        shots.append(ScreenShot{screens[i], pieces[i], nullptr});
    milestone("screens-cut");
    return shots;
}

} // namespace

namespace PortalCapture {

void captureAll(QObject *context, std::function<void(QList<ScreenShot>, bool)> done,
                int answerTimeoutMs)
{
    // Where a desktop writes the picture: the user's pictures, or the home without them.
    const auto watch = std::make_shared<PictureWatch>(QStringList{
        QStandardPaths::writableLocation(QStandardPaths::PicturesLocation), QDir::homePath()});
    const auto answered = [done, watch](std::optional<DesktopPortal::Answer> answer,
                                        const QString &why) {
        if (!answer) {
            systemLog(kFailed + why);
            return done({}, false);
        }
        // A desktop that asks the user answers 1 or 2 when they say no, and 2 at once for
        // every later request once they have.
        if (answer->code != 0) {
            systemLog(kFailed + QStringLiteral("데스크톱이 캡처를 허용하지 않았습니다 (응답 %1)")
                                    .arg(answer->code));
            return done({}, true);
        }
        const QUrl uri(answer->results.value(QStringLiteral("uri")).toString());
        if (!uri.isLocalFile()) {
            systemLog(kFailed + QStringLiteral("데스크톱 포털이 그림을 주지 않았습니다"));
            return done({}, false);
        }
        const QImage picture = takePicture(*watch, uri.toLocalFile());
        milestone("picture-read");
        if (picture.isNull()) {
            systemLog(kFailed + QStringLiteral("그림을 읽을 수 없습니다: ") + uri.toLocalFile());
            return done({}, false);
        }
        done(cutIntoScreens(picture), false);
    };
    DesktopPortal::request(
        QStringLiteral("org.freedesktop.portal.Screenshot"), QStringLiteral("Screenshot"),
        {QString()}, {{QStringLiteral("interactive"), false}}, answerTimeoutMs, context, answered);
}

void forgetRefusal()
{
    QDBusMessage forget = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
        QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
        QStringLiteral("DeletePermission"));
    // The answer is kept under the name the portal knows the application by.
    forget << QStringLiteral("screenshot") << QStringLiteral("screenshot")
           << DesktopPortal::appId();
    QDBusConnection::sessionBus().call(forget, QDBus::NoBlock);
}

} // namespace PortalCapture
