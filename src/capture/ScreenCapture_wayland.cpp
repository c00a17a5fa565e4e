#include "capture/PortalCapture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QUrl>
#include <qpa/qplatformscreen.h>

#include <optional>

#include "platform/DesktopPortal.h"
#include "platform/Milestone.h"
#include "settings/SystemLog.h"

namespace {

// The portal answers within a second; a desktop that asks the user first waits for them.
constexpr int kAnswerTimeoutMs = 60000;

// The picture's file, or why there is none.
std::optional<QString> requestPicture(QString *why)
{
    const std::optional<DesktopPortal::Answer> answer = DesktopPortal::request(
        QStringLiteral("org.freedesktop.portal.Screenshot"), QStringLiteral("Screenshot"),
        {QString()}, {{QStringLiteral("interactive"), false}}, kAnswerTimeoutMs, why);
    if (!answer)
        return std::nullopt;
    if (answer->code == 1) {
        *why = QStringLiteral("캡처가 거부되었습니다");
        return std::nullopt;
    }
    const QUrl uri(answer->results.value(QStringLiteral("uri")).toString());
    if (answer->code != 0 || !uri.isLocalFile()) {
        *why = QStringLiteral("데스크톱 포털이 캡처하지 못했습니다");
        return std::nullopt;
    }
    return uri.toLocalFile();
}

QImage readPicture(const QString &file)
{
    QFile in(file);
    const QByteArray data = in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    // A picture of the screen left in the shared temporary folder is anyone's to read.
    if (QFileInfo(file).absolutePath().startsWith(QDir::tempPath()))
        QFile::remove(file);
    return data.isEmpty() ? QImage() : PortalCapture::decodePicture(data);
}

} // namespace

namespace PortalCapture {

QList<ScreenShot> captureAll()
{
    QString why;
    const std::optional<QString> file = requestPicture(&why);
    const QString prefix = QStringLiteral("화면을 캡처하지 못했습니다: ");
    if (!file) {
        systemLog(prefix + why);
        return {};
    }
    const QImage picture = readPicture(*file);
    milestone("picture-read");
    if (picture.isNull()) {
        systemLog(prefix + QStringLiteral("그림을 읽을 수 없습니다: ") + *file);
        return {};
    }

    const QList<QScreen *> screens = QGuiApplication::screens();
    QList<Area> areas;
    // The compositor's own layout: QT_SCALE_FACTOR shrinks Qt's screen sizes but not their
    // places, and the picture is of the compositor's layout.
    for (const QScreen *screen : screens)
        areas.append(Area{screen->handle()->geometry(), screen->handle()->devicePixelRatio()});
    const QList<QImage> pieces = cutLayout(picture, areas);
    if (pieces.size() != screens.size()) {
        systemLog(prefix + QStringLiteral("그림 크기 %1x%2 가 화면 배치와 맞지 않습니다")
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

} // namespace PortalCapture
