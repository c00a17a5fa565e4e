#include "app/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

namespace {
const QByteArray kReopen = QByteArrayLiteral("reopen\n");
const QByteArray kAck = QByteArrayLiteral("ok\n");
} // namespace

SingleInstance::SingleInstance(QString socketPath) : m_path(std::move(socketPath)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime + QStringLiteral("/corvane.sock");
    return QDir::tempPath() + QStringLiteral("/corvane-%1.sock").arg(getuid());
}

bool SingleInstance::handOver(int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(kReopen);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // The answer tells a live instance from a socket left behind by a crashed one.
    QDeadlineTimer deadline(timeoutMs);
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    return socket.readLine() == kAck;
}

bool SingleInstance::listen(int waitForReleaseMs)
{
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QDeadlineTimer deadline(waitForReleaseMs);
    bool removedStale = false;
    while (!m_server->listen(m_path)) {
        if (m_server->serverError() != QAbstractSocket::AddressInUseError)
            return false;
        QLocalSocket probe;
        probe.connectToServer(m_path);
        if (!probe.waitForConnected(500)) {
            if (removedStale)
                return false;
            // Nobody answers: a socket file left by a process that died.
            QLocalServer::removeServer(m_path);
            removedStale = true;
            continue;
        }
        probe.abort();
        if (deadline.hasExpired())
            return false;
        QThread::msleep(100);
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (!client->canReadLine())
                    return;
                const QByteArray line = client->readLine();
                if (line != kReopen) {
                    client->abort();
                    return;
                }
                client->write(kAck);
                client->flush();
                if (onReopen)
                    onReopen();
            });
        }
    });
    return true;
}
