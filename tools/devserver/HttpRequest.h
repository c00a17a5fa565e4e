#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// One request as it arrived. A request the connection could not accept whole carries the
// status to refuse it with (400 malformed, 411 chunked body, 413 body too large); its body
// was then not kept.
struct HttpRequest
{
    QByteArray method;
    QByteArray target;
    QByteArray path;
    QByteArray version;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    qint64 bodyLength = 0;
    int rejectStatus = 0;

    // The first header of that name (case-insensitive), or empty.
    QByteArray header(const QByteArray &name) const
    {
        for (const auto &[key, value] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        }
        return {};
    }
};
