#include "testkit/DevServerProcess.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include "testkit/Files.h"

bool DevServerProcess::start()
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    testkit::dieWithParent(process);
    process.start(QStringLiteral(CORVANE_DEVSERVER),
                  QStringList{"--port", "0", "--data", dataDir(), "--releases", releasesDir(),
                              "--log", dir.filePath("requests.jsonl")} +
                      arguments);
    while (!process.canReadLine() && process.waitForReadyRead(10000)) {
    }
    static const QRegularExpression line(QStringLiteral("^listening 127\\.0\\.0\\.1:(\\d+)\n$"));
    listeningPort = quint16(line.match(QString::fromUtf8(process.readLine())).captured(1).toUInt());
    return listeningPort != 0;
}

QList<QJsonObject> DevServerProcess::requests() const
{
    QList<QJsonObject> lines;
    for (const QByteArray &line : testkit::readFile(dir.filePath("requests.jsonl")).split('\n'))
        if (!line.isEmpty())
            lines.append(QJsonDocument::fromJson(line).object());
    return lines;
}
