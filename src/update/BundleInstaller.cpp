#include "update/BundleInstaller.h"

#include <QDir>
#include <QFileInfo>

#include "settings/Bundle.h"
#include "settings/SystemLog.h"
#include "update/BundleFiles.h"
#include "update/Updater.h"

BundleInstaller::BundleInstaller(QString bundlePath, Launch launch)
    : bundlePath(QDir::cleanPath(bundlePath)), launch(std::move(launch))
{}

QString BundleInstaller::oldPathFor(const QString &bundlePath)
{
    return QDir::cleanPath(bundlePath) + QStringLiteral(".old");
}

BundleInstaller::Outcome BundleInstaller::apply(const ReadyUpdate &update) const
{
    const QString staging = QFileInfo(update.app).path();
    const QString folder = QFileInfo(bundlePath).path();
    if (!BundleFiles::isWritableFolder(folder)) {
        systemLog(QStringLiteral("앱 폴더에 쓸 수 없어 업데이트를 건너뜁니다: ") + folder);
        BundleFiles::removeItem(staging);
        return Outcome::Skipped;
    }
    // The user may have installed a newer version while this one ran: it stays, and the
    // process running the older one installs nothing more.
    const QString installed = Bundle::versionAt(bundlePath);
    if (!installed.isEmpty() && !Updater::isNewer(update.version, installed)) {
        systemLog(QStringLiteral("설치된 번들이 이미 %1 이라 업데이트 %2 을(를) 건너뜁니다")
                      .arg(installed, update.version));
        BundleFiles::removeItem(staging);
        return Outcome::Skipped;
    }
    const QString oldPath = oldPathFor(bundlePath);
    // The new bundle comes beside the running one first, copied there from a staging folder on
    // another file system: the running one is set aside only for the moment of two renames,
    // and a process ended during the copy leaves it in place (the start clears the rest).
    const QString incoming = bundlePath + BundleFiles::partialSuffix + QStringLiteral("new");
    BundleFiles::removeItem(oldPath);
    BundleFiles::removeItem(incoming);
    QString error;
    bool moved = BundleFiles::moveItem(update.app, incoming, &error);
    // The new files are on the disk before the renames that make them the bundle, and the new
    // version removes the old one: a power cut soon after must find one of them whole.
    if (moved)
        BundleFiles::flushFileSystem(incoming);
    moved = moved && BundleFiles::moveItem(bundlePath, oldPath, &error);
    if (moved) {
        moved = BundleFiles::moveItem(incoming, bundlePath, &error);
        if (!moved) {
            QString ignored;
            BundleFiles::moveItem(oldPath, bundlePath, &ignored);
        }
    }
    BundleFiles::removeItem(incoming);
    BundleFiles::removeItem(staging);
    if (!moved) {
        systemLog(QStringLiteral("업데이트 적용 실패: ") + error);
        return Outcome::Failed;
    }
    const QString program = bundlePath + QStringLiteral("/Contents/MacOS/corvane");
    if (!launch || launch(program, {QStringLiteral("--updated"), update.version}))
        return Outcome::Relaunched;
    // A program the system cannot even start (another architecture, say) would leave nothing
    // running now and at every later start: the replaced bundle comes back and this one runs on.
    if (BundleFiles::moveItem(bundlePath, incoming, &error) &&
        BundleFiles::moveItem(oldPath, bundlePath, &error))
        BundleFiles::removeItem(incoming);
    systemLog(QStringLiteral("새 버전을 시작하지 못해 이전 버전으로 되돌립니다: ") + program +
              (error.isEmpty() ? QString() : QStringLiteral(" (") + error + QLatin1Char(')')));
    return Outcome::Failed;
}
