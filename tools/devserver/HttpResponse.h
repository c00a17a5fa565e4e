#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <functional>

// An answer to send. A streamed answer has no body in memory: streamLength bytes are asked
// of stream(offset, count) as the socket drains.
struct HttpResponse
{
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    qint64 streamLength = -1;
    std::function<QByteArray(qint64 offset, qint64 count)> stream;
    bool close = false;
};
