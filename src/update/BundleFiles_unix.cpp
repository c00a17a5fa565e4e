#include "update/BundleFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUuid>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BundleFiles {

namespace {

QString describe(const QString &path, int error)
{
    return path + QStringLiteral(": ") + qt_error_string(error);
}

bool copyTree(const QString &from, const QString &to, QString *error)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    struct stat info;
    if (::lstat(source.constData(), &info) != 0) {
        *error = describe(from, errno);
        return false;
    }
    if (S_ISLNK(info.st_mode)) {
        QByteArray link(info.st_size + 1, '\0');
        const ssize_t length = ::readlink(source.constData(), link.data(), link.size());
        if (length < 0 || length >= link.size()) {
            *error = describe(from, length < 0 ? errno : ENAMETOOLONG);
            return false;
        }
        link.truncate(length);
        if (::symlink(link.constData(), target.constData()) != 0) {
            *error = describe(to, errno);
            return false;
        }
        return true;
    }
    if (S_ISREG(info.st_mode)) {
        QFile file(from);
        if (!file.copy(to)) {
            *error = to + QStringLiteral(": ") + file.errorString();
            return false;
        }
        return true;
    }
    if (!S_ISDIR(info.st_mode)) {
        *error = describe(from, EINVAL);
        return false;
    }
    // Writable by us while it fills; its own mode once complete.
    if (::mkdir(target.constData(), S_IRWXU) != 0) {
        *error = describe(to, errno);
        return false;
    }
    const QStringList names =
        QDir(from).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (!copyTree(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name, error))
            return false;
    }
    if (::chmod(target.constData(), info.st_mode & 07777) != 0) {
        *error = describe(to, errno);
        return false;
    }
    return true;
}

} // namespace

bool removeItem(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (::lstat(native.constData(), &info) != 0)
        return errno == ENOENT;
    if (S_ISDIR(info.st_mode))
        return QDir(path).removeRecursively();
    return ::unlink(native.constData()) == 0;
}

bool moveItem(const QString &from, const QString &to, QString *error)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    struct stat info;
    if (::lstat(target.constData(), &info) == 0) {
        *error = describe(to, EEXIST);
        return false;
    }
    if (::rename(source.constData(), target.constData()) == 0)
        return true;
    if (errno != EXDEV) {
        *error = describe(from, errno);
        return false;
    }
    const QString partial = to + partialSuffix + QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!copyTree(from, partial, error)) {
        removeItem(partial);
        return false;
    }
    if (::rename(QFile::encodeName(partial).constData(), target.constData()) != 0) {
        *error = describe(to, errno);
        removeItem(partial);
        return false;
    }
    removeItem(from);
    return true;
}

void flushFileSystem(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

std::optional<QString> makePrivateFolder(const QString &parent, const QString &name, QString *error)
{
    if (!QDir().mkpath(parent)) {
        *error = describe(parent, errno);
        return std::nullopt;
    }
    const QString path = QDir(parent).filePath(name);
    if (::mkdir(QFile::encodeName(path).constData(), S_IRWXU) != 0) {
        *error = describe(path, errno);
        return std::nullopt;
    }
    return path;
}

void removeOwnFolders(const QString &parent, const QString &prefix)
{
    const QDir dir(parent);
    for (const QString &name :
         dir.entryList({prefix + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden)) {
        struct stat info;
        const QString path = dir.filePath(name);
        if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
            info.st_uid == ::geteuid())
            removeItem(path);
    }
}

bool isWritableFolder(const QString &path)
{
    const QByteArray probe = QFile::encodeName(path + QStringLiteral("/.corvane-write-") +
                                               QUuid::createUuid().toString(QUuid::Id128));
    return ::mkdir(probe.constData(), S_IRWXU) == 0 && ::rmdir(probe.constData()) == 0;
}

namespace {
const char *const kStartedFd = "CORVANE_STARTED_FD";
} // namespace

bool startConfirmed(const QString &program, const QStringList &arguments, int timeoutMs)
{
    // A connected pair whose other end only the new process keeps: a byte means it came up,
    // the end of the stream that it ended (a library missing, a crash at start).
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    const int theirs = fcntl(ends[1], F_DUPFD, 3);
    close(ends[1]);
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kStartedFd), QString::number(theirs));
    process.setProcessEnvironment(environment);
    qint64 pid = 0;
    const bool started = theirs >= 0 && process.startDetached(&pid);
    if (theirs >= 0)
        close(theirs);
    pollfd said{ends[0], POLLIN, 0};
    const QDeadlineTimer deadline(timeoutMs);
    int ready = 0;
    do
        ready = started ? poll(&said, 1, int(deadline.remainingTime())) : 0;
    while (ready < 0 && errno == EINTR);
    char byte = 0;
    const bool up = ready == 1 && read(ends[0], &byte, 1) == 1;
    close(ends[0]);
    if (started && !up && pid > 0)
        kill(pid_t(pid), SIGKILL);
    return up;
}

void announceStarted()
{
    bool named = false;
    const int fd = qEnvironmentVariableIntValue(kStartedFd, &named);
    if (!named)
        return;
    qunsetenv(kStartedFd);
    // Only into the socket it was given: a number set by hand may name another open file. A
    // starter gone meanwhile must not end this process with SIGPIPE.
    struct stat file = {};
    if (fstat(fd, &file) != 0 || !S_ISSOCK(file.st_mode))
        return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t said = send(fd, &byte, 1, MSG_NOSIGNAL);
    close(fd);
}

} // namespace BundleFiles
