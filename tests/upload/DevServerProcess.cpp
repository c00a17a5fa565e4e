#include "DevServerProcess.h"

#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpServer>

DevServerProcess::DevServerProcess(const QStringList &arguments) : arguments(arguments) {}

DevServerProcess::~DevServerProcess()
{
    stop();
}

bool DevServerProcess::start()
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(CORVANE_DEVSERVER),
                  QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                              QStringLiteral("--data"), dataDir(), QStringLiteral("--releases"),
                              releasesDir(), QStringLiteral("--log"),
                              dir.filePath(QStringLiteral("requests.jsonl"))} +
                      arguments);
    if (!process.waitForStarted(10000))
        return false;
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(10000))
            return false;
    }
    static const QRegularExpression line(QStringLiteral("^listening 127\\.0\\.0\\.1:(\\d+)\n$"));
    const QRegularExpressionMatch match = line.match(QString::fromUtf8(process.readLine()));
    listeningPort = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
    return listeningPort != 0;
}

int DevServerProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QString DevServerProcess::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(listeningPort);
}

QList<QJsonObject> DevServerProcess::requests() const
{
    QFile file(dir.filePath(QStringLiteral("requests.jsonl")));
    QList<QJsonObject> lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    while (!file.atEnd())
        lines.append(QJsonDocument::fromJson(file.readLine()).object());
    return lines;
}

quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
