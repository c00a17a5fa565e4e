#include "update/UpdateCheck.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include "settings/Bundle.h"
#include "settings/SystemLog.h"
#include "update/ArchiveExtractor.h"
#include "update/BundleFiles.h"
#include "update/UpdateSignature.h"
#include "update/Updater.h"

namespace {

constexpr int kCancelPollMs = 50;
// Bytes Qt may hold unread; beyond it the transfer waits for us, so a refused body stops
// arriving instead of piling up.
constexpr qint64 kReadBufferBytes = 1024 * 1024;

bool cancelledNow(const std::atomic<bool> *cancelled)
{
    return cancelled && cancelled->load();
}

} // namespace

UpdateCheck::UpdateCheck(QString serverUrl, QString runningVersion, QString tempDir,
                         QString updateKey)
    : serverUrl(std::move(serverUrl)), runningVersion(std::move(runningVersion)),
      tempDir(std::move(tempDir)), updateKey(std::move(updateKey))
{
    if (this->serverUrl.endsWith(QLatin1Char('/')))
        this->serverUrl.chop(1);
}

std::optional<QByteArray> UpdateCheck::fetch(const QString &url, qint64 limit,
                                             const std::atomic<bool> *cancelled) const
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    if (!parsed.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return std::nullopt;
    QNetworkRequest request(parsed);
    request.setTransferTimeout(timeoutMs);
    request.setRawHeader("User-Agent", "corvane-mac/" + runningVersion.toUtf8());

    QNetworkAccessManager session;
    std::unique_ptr<QNetworkReply> reply(session.get(request));
    reply->setReadBufferSize(kReadBufferBytes);
    QByteArray body;
    bool refused = false;
    const auto refuse = [&] {
        refused = true;
        reply->abort();
    };
    const auto read = [&] {
        if (refused)
            return;
        body += reply->read(limit + 1 - body.size());
        if (body.size() > limit)
            refuse();
    };
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > limit)
            refuse();
    });
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, read);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // A server that stalls or drips its bytes would hold the check, and every later one, for
    // good.
    const QDeadlineTimer deadline(5 * qint64(timeoutMs) + limit / 16);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (cancelledNow(cancelled) || deadline.hasExpired())
            refuse();
    });
    poll.start(kCancelPollMs);
    if (!reply->isFinished())
        loop.exec();
    read();

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (refused || reply->error() != QNetworkReply::NoError || status < 200 || status > 299)
        return std::nullopt;
    return body;
}

std::optional<ReadyUpdate> UpdateCheck::download(const std::atomic<bool> *cancelled) const
{
    const auto manifest =
        fetch(serverUrl + QStringLiteral("/download/mac/version.json"), manifestLimit, cancelled);
    if (!manifest)
        return std::nullopt;
    const QJsonObject members = QJsonDocument::fromJson(*manifest).object();
    const QJsonValue version = members.value(QLatin1String("version"));
    const QJsonValue sha256 = members.value(QLatin1String("sha256"));
    if (!version.isString() || !sha256.isString() ||
        !Updater::isNewer(version.toString(), runningVersion))
        return std::nullopt;

    const auto zip =
        fetch(serverUrl + QStringLiteral("/download/mac/corvane-mac.zip"), archiveLimit, cancelled);
    if (!zip)
        return std::nullopt;
    const QByteArray digest = QCryptographicHash::hash(*zip, QCryptographicHash::Sha256).toHex();
    if (QString::fromLatin1(digest) != sha256.toString().toLower()) {
        systemLog(QStringLiteral("업데이트 zip 의 해시가 version.json 과 다릅니다"));
        return std::nullopt;
    }
    // The digest comes from the same server as the archive; only the publisher's signature
    // shows that the publisher made it. Checked before a byte of it reaches the disk.
    const QJsonValue signature = members.value(QLatin1String("signature"));
    if (!updateKey.isEmpty() &&
        !UpdateSignature::verify(updateKey.toLatin1(), signature.toString().toLatin1(), *zip)) {
        systemLog(QStringLiteral("업데이트 서명이 올바르지 않습니다"));
        return std::nullopt;
    }
    return unpack(*zip, version.toString(), cancelled);
}

std::optional<ReadyUpdate> UpdateCheck::unpack(const QByteArray &zip, const QString &version,
                                               const std::atomic<bool> *cancelled) const
{
    QString error;
    const std::optional<QString> staging = BundleFiles::makePrivateFolder(
        tempDir, stagingPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces), &error);
    if (!staging) {
        systemLog(QStringLiteral("업데이트 준비 실패: ") + error);
        return std::nullopt;
    }
    const QString archivePath = *staging + QStringLiteral("/corvane-mac.zip");
    QFile archive(archivePath);
    if (!archive.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        archive.write(zip) != zip.size() || !archive.flush()) {
        systemLog(QStringLiteral("업데이트 준비 실패: ") + archivePath + QStringLiteral(": ") +
                  archive.errorString());
        BundleFiles::removeItem(*staging);
        return std::nullopt;
    }
    archive.close();
    // Unpacked from memory: an entry named like the archive cannot rewrite it mid-read. A
    // bundle that is only a link would be moved as the link, and an executable without its
    // execute bit (an archive made without Unix modes) could never start: neither is an update.
    // Nor is one whose program is a folder, or a link out of the bundle, which would point
    // elsewhere once the bundle is moved into place.
    const QString app = *staging + QStringLiteral("/corvane.app");
    const QFileInfo program(app + QStringLiteral("/Contents/MacOS/corvane"));
    if (!ArchiveExtractor::extract(zip, *staging, cancelled) || QFileInfo(app).isSymLink() ||
        !program.isFile() || !program.isExecutable() ||
        !program.canonicalFilePath().startsWith(QFileInfo(app).canonicalFilePath() + '/')) {
        BundleFiles::removeItem(*staging);
        return std::nullopt;
    }
    // The signature covers the archive alone: an older signed archive offered as a newer
    // version would go back in time, and one not newer than it says would be installed again
    // at every check.
    const QString bundled = Bundle::versionAt(app);
    if (bundled != version) {
        systemLog(QStringLiteral("업데이트 번들의 버전 %1 이 version.json 의 %2 와 다릅니다")
                      .arg(bundled, version));
        BundleFiles::removeItem(*staging);
        return std::nullopt;
    }
    // Up to 64 MiB that nothing needs any more, possibly for hours until the install.
    QFile::remove(archivePath);
    return ReadyUpdate{version, app};
}
