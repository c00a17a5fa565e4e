#include "upload/Uploader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include "settings/AppSettings.h"
#include "upload/UploadTask.h"

Uploader::Uploader(QObject *parent) : QObject(parent) {}

Uploader::~Uploader()
{
    if (!session)
        return;
    for (UploadTask *task : session->findChildren<UploadTask *>())
        task->cancel();
    // A completion may be destroying us from inside a reply's own signal; the replies must
    // outlive that call, so the session goes on the next turn of the event loop.
    session->setParent(nullptr);
    session->deleteLater();
}

std::optional<QUrl> Uploader::endpointFor(const QString &serverUrl)
{
    QString base = serverUrl;
    if (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QUrl url(base + QStringLiteral("/api/upload"), QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return std::nullopt;
    return url;
}

void Uploader::upload(const QByteArray &png, const QString &serverUrl,
                      std::function<void(double)> progress,
                      std::function<void(const UploadResult &)> completion)
{
    onProgress = std::move(progress);
    const std::optional<QUrl> url = endpointFor(serverUrl);
    if (!url) {
        if (completion)
            completion(UploadResult::failure(
                UploadError{QStringLiteral("서버 주소가 잘못되었습니다: ") + serverUrl}));
        return;
    }

    QNetworkRequest request(*url);
    request.setRawHeader("X-Corvane-Client", "1");
    request.setRawHeader("Content-Type", "image/png");
    request.setRawHeader("User-Agent", "corvane-mac/" + AppSettings::version().toUtf8());
    request.setTransferTimeout(transferTimeoutMs);
    // An upload is one exchange with the named server: no stored cookies or credentials go
    // out, and nothing the answer sets is kept for the next one.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);

    QNetworkReply *reply = ensureSession()->post(request, png);
    // The transfer time-out starts again with every byte: an answer that trickles in would
    // hold the upload, and the capture it keeps from input, for ever.
    QTimer::singleShot(wholeUploadTimeouts * transferTimeoutMs, reply, [reply] {
        if (reply->isRunning())
            reply->abort();
    });
    connect(reply, &QNetworkReply::uploadProgress, this, &Uploader::didSendBodyData);
    new UploadTask(reply, maxResponseBytes, std::move(completion));
}

void Uploader::didSendBodyData(qint64 totalBytesSent, qint64 totalBytesExpectedToSend)
{
    if (totalBytesExpectedToSend <= 0 || !onProgress)
        return;
    // A copy, so that a callback that starts the next upload does not destroy itself.
    const std::function<void(double)> progress = onProgress;
    progress(double(totalBytesSent) / double(totalBytesExpectedToSend));
}

QNetworkAccessManager *Uploader::ensureSession()
{
    if (!session) {
        session = new QNetworkAccessManager(this);
        // A redirect answer is shown as the server's answer rather than followed: following it
        // would send the image to an address the user never configured (or drop it on a
        // method change).
        session->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    return session;
}
