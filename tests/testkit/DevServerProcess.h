#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include "testkit/XServer.h"

// The reference server as a child process on a free loopback port, with its data folder and
// request log in a temporary folder.
class DevServerProcess
{
public:
    explicit DevServerProcess(const QStringList &arguments = {}) : arguments(arguments) {}
    ~DevServerProcess() { stop(); }

    bool start();
    // SIGTERM, then the exit code (-1 unless it exited normally and in time).
    int stop() { return testkit::stopProcess(process, 10000); }

    quint16 port() const { return listeningPort; }
    qint64 pid() const { return process.processId(); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(listeningPort); }
    QString dataDir() const { return dir.filePath(QStringLiteral("data")); }
    QString releasesDir() const { return dir.filePath(QStringLiteral("releases")); }
    // The log's lines so far, oldest first.
    QList<QJsonObject> requests() const;

private:
    QStringList arguments;
    QTemporaryDir dir;
    QProcess process;
    quint16 listeningPort = 0;
};
