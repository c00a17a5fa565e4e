#include "Responses.h"

#include <algorithm>

#include <QFile>
#include <QJsonDocument>

namespace {

const QByteArray padHead = R"({"pad":")";

QByteArray oversizeTail(const QString &url)
{
    QJsonObject members{{QStringLiteral("error"), QStringLiteral("응답이 너무 깁니다.")},
                        {QStringLiteral("url"), url}};
    QByteArray tail = QJsonDocument(members).toJson(QJsonDocument::Compact);
    // {"error":...,"url":...} becomes ","error":...,"url":...} after the padding string.
    tail.replace(0, 1, "\",");
    return tail;
}

} // namespace

namespace Responses {

HttpResponse json(int status, const QJsonObject &object)
{
    HttpResponse response;
    response.status = status;
    response.contentType = "application/json";
    response.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return response;
}

HttpResponse error(int status, const QString &message)
{
    return json(status, QJsonObject{{QStringLiteral("error"), message}});
}

HttpResponse helpPage()
{
    HttpResponse response;
    response.contentType = "text/html; charset=utf-8";
    response.body =
        QStringLiteral("<!doctype html>\n<html lang=\"ko\">\n<head><meta charset=\"utf-8\">"
                       "<title>corvane 개발 서버</title></head>\n<body>\n"
                       "<h1>corvane 개발 서버</h1>\n"
                       "<p>화면 캡처 도구 corvane 이 이미지를 올리고 업데이트를 받아 가는 "
                       "로컬 시험용 서버입니다.</p>\n<ul>\n"
                       "<li><code>POST /api/upload</code>: PNG 본문을 저장하고 "
                       "<code>{\"url\": ...}</code> 로 링크를 돌려줍니다.</li>\n"
                       "<li><code>GET /i/&lt;이름&gt;.png</code>: 올린 이미지를 돌려줍니다.</li>\n"
                       "<li><code>GET /download/mac/version.json</code>, "
                       "<code>GET /download/mac/corvane-mac.zip</code>: 배포 폴더의 "
                       "업데이트 파일입니다.</li>\n"
                       "</ul>\n</body>\n</html>\n")
            .toUtf8();
    return response;
}

HttpResponse file(const QString &path, const QByteArray &contentType)
{
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        return error(404, QStringLiteral("찾을 수 없습니다."));
    HttpResponse response;
    response.contentType = contentType;
    response.body = source.readAll();
    return response;
}

qint64 oversizeMinimum(const QString &url)
{
    return padHead.size() + oversizeTail(url).size();
}

HttpResponse oversize(int status, qint64 length, const QString &url)
{
    const QByteArray tail = oversizeTail(url);
    const qint64 total = std::max(length, oversizeMinimum(url));
    const qint64 tailStart = total - tail.size();
    HttpResponse response;
    response.status = status;
    response.contentType = "application/json";
    response.streamLength = total;
    response.stream = [tail, tailStart](qint64 offset, qint64 count) {
        QByteArray chunk;
        chunk.reserve(count);
        for (qint64 at = offset; at < offset + count;) {
            if (at < padHead.size()) {
                chunk += padHead.mid(at, std::min(count - (at - offset), padHead.size() - at));
                at = offset + chunk.size();
            } else if (at < tailStart) {
                const qint64 n = std::min(offset + count, tailStart) - at;
                chunk.append(n, 'x');
                at += n;
            } else {
                chunk += tail.mid(at - tailStart, offset + count - at);
                at = offset + chunk.size();
            }
        }
        return chunk;
    };
    return response;
}

} // namespace Responses
