#include "upload/UploadTask.h"

#include <algorithm>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

namespace {

// Qt reports 4xx and 5xx answers as errors of these kinds; they are answers from the server,
// not failures to reach it.
bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    if (error == QNetworkReply::ContentReSendError)
        return false;
    const int code = int(error);
    return (code >= QNetworkReply::ContentAccessDenied &&
            code <= QNetworkReply::UnknownContentError) ||
           (code >= QNetworkReply::InternalServerError &&
            code <= QNetworkReply::UnknownServerError) ||
           error == QNetworkReply::ProtocolInvalidOperationError ||
           error == QNetworkReply::ProxyAuthenticationRequiredError;
}

std::optional<int> statusOf(const QNetworkReply *reply)
{
    const QVariant code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!code.isValid())
        return std::nullopt;
    return code.toInt();
}

} // namespace

UploadTask::UploadTask(QNetworkReply *reply, qint64 maxBodyBytes, Completion completion)
    : QObject(reply), reply(reply), maxBodyBytes(maxBodyBytes), completion(std::move(completion))
{
    connect(reply, &QNetworkReply::readyRead, this, &UploadTask::readBody);
    connect(reply, &QNetworkReply::finished, this, &UploadTask::finish);
}

void UploadTask::cancel()
{
    if (finished || !reply)
        return;
    cancelled = true;
    reply->abort();
}

void UploadTask::readBody()
{
    if (bodyTooLarge || !reply || !reply->isOpen())
        return;
    // One byte past the cap is enough to know that the body is too long.
    body += reply->read(maxBodyBytes + 1 - body.size());
    if (body.size() <= maxBodyBytes)
        return;
    bodyTooLarge = true;
    body.clear();
    status = statusOf(reply);
    // Stopping the transfer is our own doing, not a transport failure: the status decides.
    if (!finished)
        reply->abort();
}

void UploadTask::finish()
{
    if (finished || !reply)
        return;
    finished = true;
    readBody();
    if (const auto code = statusOf(reply))
        status = code;
    const QNetworkReply::NetworkError error = reply->error();
    const bool transportError =
        !bodyTooLarge && error != QNetworkReply::NoError && !(status && isHttpStatusError(error));
    reply->deleteLater();
    deliver(transportError ? UploadResult::failure(UploadError{reply->errorString()})
                           : interpret(status, bodyTooLarge ? QByteArray() : body));
}

void UploadTask::deliver(const UploadResult &result)
{
    deleteLater();
    if (!completion)
        return;
    if (cancelled) {
        QTimer::singleShot(0, [done = std::move(completion), result] { done(result); });
        return;
    }
    const Completion done = std::move(completion);
    done(result);
}

namespace {

// Characters of a server's error message that are shown.
constexpr qsizetype kLongestError = 300;

} // namespace

UploadResult UploadTask::interpret(std::optional<int> status, const QByteArray &body)
{
    if (!status)
        return UploadResult::failure(UploadError{QStringLiteral("응답이 없습니다.")});
    // Anything but a JSON object (not JSON, an array, a bare string) has no members.
    const QJsonObject members = QJsonDocument::fromJson(body).object();
    if (*status < 200 || *status > 299) {
        // Shown over the capture, where a megabyte of text would take seconds to lay out.
        const QJsonValue error = members.value(QLatin1String("error"));
        if (error.isString()) {
            const QString text = error.toString();
            const QString shown = text.section(QLatin1Char('\n'), 0, 0).left(kLongestError);
            return UploadResult::failure(
                UploadError{shown.size() < text.size() ? shown + QChar(0x2026) : shown});
        }
        return UploadResult::failure(
            UploadError{QStringLiteral("서버 응답 ") + QString::number(*status)});
    }
    // The link goes on the clipboard in place of what the user had there, and opens in the
    // browser: only a whole web address is one.
    const QString link = members.value(QLatin1String("url")).toString().trimmed();
    const QUrl parsed(link, QUrl::StrictMode);
    // An invalid address still has a scheme and host, and may hold a line break or a command;
    // a character that changes how text shows (U+202E turns "x<RLO>gnp.exe" into "xexe.png")
    // disguises it.
    const bool disguised =
        std::ranges::any_of(link, [](QChar c) { return c.category() == QChar::Other_Format; });
    if (parsed.isValid() && !disguised &&
        (parsed.scheme() == QLatin1String("http") || parsed.scheme() == QLatin1String("https")) &&
        !parsed.host().isEmpty())
        return UploadResult::success(link);
    return UploadResult::failure(UploadError{QStringLiteral("서버 응답에 URL 이 없습니다.")});
}
