#include "RequestLog.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

bool RequestLog::open(const QString &path)
{
    if (path.isEmpty())
        return true;
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append);
}

void RequestLog::record(const HttpRequest &request)
{
    if (!file.isOpen())
        return;
    QJsonArray headers;
    for (const auto &[name, value] : request.headers)
        headers.append(QJsonArray{QString::fromLatin1(name), QString::fromLatin1(value)});
    QJsonObject line{
        {QStringLiteral("method"), QString::fromLatin1(request.method)},
        {QStringLiteral("target"), QString::fromLatin1(request.target)},
        {QStringLiteral("path"), QString::fromLatin1(request.path)},
        {QStringLiteral("headers"), headers},
        {QStringLiteral("bodyLength"), request.bodyLength},
    };
    // A refused body was not kept, so there is nothing to hash.
    if (request.rejectStatus == 0)
        line.insert(
            QStringLiteral("bodySha256"),
            QString::fromLatin1(
                QCryptographicHash::hash(request.body, QCryptographicHash::Sha256).toHex()));
    else
        line.insert(QStringLiteral("rejected"), request.rejectStatus);
    file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    file.flush();
}
