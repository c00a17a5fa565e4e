#include "DevServer.h"

#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTcpSocket>

#include "HttpConnection.h"
#include "Responses.h"

namespace {

const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);

QString randomName()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof(words)).toHex());
}

HttpResponse methodNotAllowed(const QByteArray &allowed)
{
    HttpResponse response = Responses::error(405, QStringLiteral("허용되지 않는 메서드입니다."));
    response.headers.append({"Allow", allowed});
    return response;
}

} // namespace

DevServer::DevServer(ServerOptions options, QObject *parent)
    : QObject(parent), options(std::move(options))
{
    connect(&server, &QTcpServer::newConnection, this, &DevServer::accept);
}

bool DevServer::listen(QString *error)
{
    if (!QDir().mkpath(options.dataDir)) {
        *error = QStringLiteral("cannot create ") + options.dataDir;
        return false;
    }
    if (!log.open(options.logFile)) {
        *error = QStringLiteral("cannot write ") + options.logFile;
        return false;
    }
    if (!server.listen(QHostAddress::LocalHost, options.port)) {
        *error = server.errorString();
        return false;
    }
    return true;
}

void DevServer::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        auto *connection = new HttpConnection(socket, options.maxBodyBytes, this);
        connection->onRequest = [this](HttpConnection *c, const HttpRequest &r) { handle(c, r); };
    }
}

void DevServer::handle(HttpConnection *connection, const HttpRequest &request)
{
    log.record(request);
    switch (request.rejectStatus) {
    case 0:
        break;
    case 411:
        connection->respond(Responses::error(411, QStringLiteral("본문 길이가 필요합니다.")));
        return;
    case 413:
        connection->respond(Responses::error(413, QStringLiteral("본문이 너무 큽니다.")));
        return;
    default:
        connection->respond(
            Responses::error(request.rejectStatus, QStringLiteral("잘못된 요청입니다.")));
        return;
    }
    if (request.path == "/api/upload")
        handleUpload(connection, request);
    else if (options.trickle && request.path.startsWith("/download/"))
        connection->trickle(100, 60000); // a length a manifest may have
    else
        connection->respond(route(request));
}

void DevServer::handleUpload(HttpConnection *connection, const HttpRequest &request)
{
    if (request.method != "POST") {
        connection->respond(methodNotAllowed("POST"));
        return;
    }
    if (options.stall)
        return;
    if (options.trickle) {
        connection->trickle(100, 1000000);
        return;
    }
    if (options.drop) {
        connection->drop();
        return;
    }
    const int status = options.status.value_or(200);
    HttpResponse response;
    if (options.oversize) {
        const QString url =
            QStringLiteral("http://") + linkAuthority(request) + QStringLiteral("/i/oversize.png");
        response = Responses::oversize(status, *options.oversize, url);
    } else if (options.body) {
        response.status = status;
        response.contentType = options.contentType;
        response.body = *options.body;
    } else {
        response = store(request);
        if (options.status)
            response.status = *options.status;
    }
    response.headers += options.extraHeaders;
    connection->respond(response);
}

HttpResponse DevServer::store(const HttpRequest &request)
{
    if (request.body.isEmpty())
        return Responses::error(400, QStringLiteral("본문이 비어 있습니다."));
    if (!request.body.startsWith(pngSignature))
        return Responses::error(400, QStringLiteral("PNG 이미지가 아닙니다."));
    const QString name = randomName();
    QSaveFile file(options.dataDir + QLatin1Char('/') + name + QStringLiteral(".png"));
    if (!file.open(QIODevice::WriteOnly) || file.write(request.body) != request.body.size() ||
        !file.commit())
        return Responses::error(500, QStringLiteral("이미지를 저장하지 못했습니다."));
    const QString url = QStringLiteral("http://") + linkAuthority(request) + QStringLiteral("/i/") +
                        name + QStringLiteral(".png");
    return Responses::json(200, QJsonObject{{QStringLiteral("url"), url}});
}

HttpResponse DevServer::route(const HttpRequest &request) const
{
    static const QRegularExpression image(QStringLiteral("^/i/([0-9a-f]{32})\\.png$"));
    const QString path = QString::fromLatin1(request.path);
    const QRegularExpressionMatch match = image.match(path);
    const bool known = path == QLatin1String("/") || match.hasMatch() ||
                       path == QLatin1String("/download/mac/version.json") ||
                       path == QLatin1String("/download/mac/corvane-mac.zip");
    if (!known)
        return Responses::error(404, QStringLiteral("찾을 수 없습니다."));
    if (request.method != "GET")
        return methodNotAllowed("GET");
    if (path == QLatin1String("/"))
        return Responses::helpPage();
    if (match.hasMatch())
        return Responses::file(options.dataDir + QLatin1Char('/') + match.captured(1) +
                                   QStringLiteral(".png"),
                               "image/png");
    HttpResponse response =
        path.endsWith(QLatin1String(".json"))
            ? Responses::file(options.releasesDir + QStringLiteral("/version.json"),
                              "application/json")
            : Responses::file(options.releasesDir + QStringLiteral("/corvane-mac.zip"),
                              "application/zip");
    if (options.updateStatus) {
        response.status = *options.updateStatus;
        if (response.status == 304)
            response.body.clear();
    }
    return response;
}

QString DevServer::linkAuthority(const HttpRequest &request) const
{
    static const QRegularExpression plainHost(
        QStringLiteral("^([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]{1,5})?$"));
    const QString host = QString::fromLatin1(request.header("Host"));
    if (plainHost.match(host).hasMatch())
        return host;
    return QStringLiteral("127.0.0.1:") + QString::number(port());
}
