#pragma once

#include <QFile>
#include <QString>

#include "HttpRequest.h"

// Appends one JSON line per request to a file, flushed at once so that a reader sees every
// request that has arrived: method, target, path, headers as [name, value] pairs in the
// order received (bytes read as Latin-1, so nothing is lost), body length and SHA-256.
class RequestLog
{
public:
    // An empty path logs nothing.
    bool open(const QString &path);
    void record(const HttpRequest &request);

private:
    QFile file;
};
