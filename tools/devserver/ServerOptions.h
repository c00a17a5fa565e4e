#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

// Command-line settings of the server, including the ways it can be told to misbehave on
// uploads for tests.
struct ServerOptions
{
    quint16 port = 8787;
    QString dataDir;
    QString releasesDir;
    QString logFile;
    qint64 maxBodyBytes = 64 * 1024 * 1024;

    std::optional<int> status;
    std::optional<QByteArray> body;
    QByteArray contentType;
    QList<QPair<QByteArray, QByteArray>> extraHeaders;
    bool stall = false;
    bool drop = false;
    bool trickle = false;
    std::optional<qint64> oversize;
    // Status of the answers to the two update downloads.
    std::optional<int> updateStatus;

    // Nothing, with a message in *error, when the arguments are unusable.
    static std::optional<ServerOptions> parse(const QStringList &arguments, QString *error);
};
