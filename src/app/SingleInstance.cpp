#include "app/SingleInstance.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "reopen" is what every launch without options has always sent.
const QByteArray kLines[] = {QByteArrayLiteral("reopen\n"), QByteArrayLiteral("settings\n"),
                             QByteArrayLiteral("quit\n")};
const QByteArray kAck = QByteArrayLiteral("ok\n");
const qsizetype kLongestLine = std::ranges::max(kLines, {}, &QByteArray::size).size();

// A socket file with no listener refuses at once; a live instance that is busy accepts the
// connection into its backlog, or at worst lets it time out.
bool nobodyListens(const QLocalSocket &socket)
{
    return socket.error() == QLocalSocket::ConnectionRefusedError ||
           socket.error() == QLocalSocket::ServerNotFoundError;
}

// Creates the folder owner-only if it is missing, then accepts it only as a real folder (not
// a link) of this user that nobody else may enter. The sticky temporary folder keeps others
// from replacing it afterwards.
bool ensurePrivateFolder(const QString &path, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    const auto fail = [&](const QString &why) {
        if (error)
            *error =
                QStringLiteral("실행 확인용 폴더 %1 을(를) 사용할 수 없습니다: %2").arg(path, why);
        return false;
    };
    if (mkdir(native.constData(), 0700) == 0)
        chmod(native.constData(), 0700);
    else if (errno != EEXIST)
        return fail(QString::fromLocal8Bit(strerror(errno)));
    struct stat info;
    if (lstat(native.constData(), &info) != 0)
        return fail(QString::fromLocal8Bit(strerror(errno)));
    if (!S_ISDIR(info.st_mode))
        return fail(QStringLiteral("폴더가 아닙니다. 지우고 다시 실행하세요."));
    if (info.st_uid != getuid() || (info.st_mode & 077) != 0)
        return fail(QStringLiteral("다른 사용자의 것이거나 다른 사용자에게 열려 있습니다. "
                                   "이 폴더를 지우거나 XDG_RUNTIME_DIR 를 설정하세요."));
    return true;
}

} // namespace

SingleInstance::SingleInstance()
{
    m_path = defaultSocketPath(&m_error);
}

SingleInstance::SingleInstance(QString socketPath) : m_path(std::move(socketPath)) {}

SingleInstance::~SingleInstance()
{
    m_server.reset();
    if (m_lock >= 0)
        close(m_lock);
}

QString SingleInstance::defaultSocketPath(QString *error)
{
    // Qt 6.4 binds a local socket at a path of at most 106 bytes, one less than the system's
    // socket address holds; a longer folder gives way to the next place.
    const auto fits = [](const QString &folder) {
        return QFile::encodeName(folder + QStringLiteral("/corvane.sock")).size() <= 106;
    };
    // A runtime folder is this user's alone; one that others may write in (a shared folder
    // named there by mistake) would let another user take the socket's place first.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat info;
    if (!runtime.isEmpty() && stat(QFile::encodeName(runtime).constData(), &info) == 0 &&
        S_ISDIR(info.st_mode) && info.st_uid == getuid() && (info.st_mode & 022) == 0 &&
        fits(runtime))
        return runtime + QStringLiteral("/corvane.sock");
    const QString name = QStringLiteral("/corvane-%1").arg(getuid());
    // A TMPDIR that names no folder gives no temporary folder at all.
    const QString temp = QDir::tempPath();
    const QString folder =
        (!temp.isEmpty() && fits(temp + name) ? temp : QStringLiteral("/tmp")) + name;
    if (!ensurePrivateFolder(folder, error))
        return {};
    return folder + QStringLiteral("/corvane.sock");
}

SingleInstance::HandOver SingleInstance::handOver(Command command, int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(timeoutMs))
        return nobodyListens(socket) ? HandOver::NoInstance : HandOver::Failed;
    socket.write(kLines[int(command)]);
    if (!socket.waitForBytesWritten(timeoutMs))
        return HandOver::Failed;
    // The request now waits in the socket for the instance, which reads it even after this
    // process is gone; its answer only shows that it is free. A socket left by a crashed
    // process would have refused the connection.
    QDeadlineTimer deadline(timeoutMs);
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return socket.state() == QLocalSocket::ConnectedState ? HandOver::Delivered
                                                                  : HandOver::Failed;
    }
    return socket.readLine() == kAck ? HandOver::Delivered : HandOver::Failed;
}

bool SingleInstance::listen(int waitForReleaseMs)
{
    if (m_path.isEmpty())
        return false;
    m_error = QStringLiteral("이미 실행 중인 corvane 에 연결할 수 없습니다.");
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QDeadlineTimer deadline(waitForReleaseMs);
    // Of launches at the same moment, which all found nobody listening, the one holding the
    // lock goes on. The system releases it when its holder exits, crashed or not.
    if (m_lock < 0)
        m_lock = open(QFile::encodeName(m_path + QStringLiteral(".lock")).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lock < 0) {
        m_error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    while (flock(m_lock, LOCK_EX | LOCK_NB) != 0) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(100);
    }
    // Asked too, for an instance of a version that took no lock: with socket options, Qt 6.4
    // makes its socket elsewhere and renames it over whatever is at the path, a live
    // instance's socket included.
    for (;;) {
        QLocalSocket probe;
        probe.connectToServer(m_path);
        if (!probe.waitForConnected(500) && nobodyListens(probe))
            break;
        probe.abort();
        if (deadline.hasExpired())
            return false;
        QThread::msleep(100);
    }
    // Nobody answers: a socket file left by a process that died, if any.
    QLocalServer::removeServer(m_path);
    if (!m_server->listen(m_path)) {
        m_error = m_server->errorString();
        return false;
    }
    m_error.clear();
    connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            const auto read = [this, client] {
                if (!client->canReadLine()) {
                    // More than any request takes, with no end of line: nothing to keep.
                    if (client->bytesAvailable() >= kLongestLine)
                        client->abort();
                    return;
                }
                const QByteArray line = client->readLine();
                const auto known = std::find(std::begin(kLines), std::end(kLines), line);
                if (known == std::end(kLines)) {
                    client->abort();
                    return;
                }
                client->write(kAck);
                client->flush();
                if (onCommand)
                    onCommand(Command(known - std::begin(kLines)));
            };
            connect(client, &QLocalSocket::readyRead, this, read);
            // A launch that handed over while this instance was busy may be gone already,
            // its request still waiting to be read.
            read();
        }
    });
    return true;
}
