#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "HttpResponse.h"

// The answers the server builds: JSON objects, the help page, and the long upload answer of
// --oversize.
namespace Responses {

HttpResponse json(int status, const QJsonObject &object);
HttpResponse error(int status, const QString &message);
HttpResponse helpPage();
HttpResponse file(const QString &path, const QByteArray &contentType);

// A JSON object of exactly length bytes, streamed: a long "pad" string, then "error" and
// "url" members, so that only a client that reads all of it finds them.
HttpResponse oversize(int status, qint64 length, const QString &url);
// The shortest length oversize() can produce for that url.
qint64 oversizeMinimum(const QString &url);

} // namespace Responses
