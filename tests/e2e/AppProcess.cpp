#include "AppProcess.h"

#include <QDir>
#include <QFile>
#include <QTest>

namespace testkit {

AppProcess::AppProcess(const XServer &server) : AppProcess(server.environment(), {}) {}

AppProcess::AppProcess(const QProcessEnvironment &session, std::function<void(QProcess &)> launch)
    : m_session(session), m_launch(std::move(launch))
{
    for (const char *sub : {"config", "data", "cache", "runtime", "Pictures"})
        QDir(m_home.path()).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(m_home.filePath("runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_process.setProcessEnvironment(environment());
    dieWithParent(m_process);
}

AppProcess::~AppProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

QString AppProcess::executable() const
{
    return QStringLiteral(CORVANE_BUNDLE_DIR) + QStringLiteral("/Contents/MacOS/corvane");
}

QProcessEnvironment AppProcess::environment() const
{
    QProcessEnvironment env = m_session;
    env.insert("HOME", m_home.path());
    env.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
    env.insert("XDG_DATA_HOME", m_home.filePath("data"));
    env.insert("XDG_CACHE_HOME", m_home.filePath("cache"));
    env.insert("XDG_RUNTIME_DIR", m_home.filePath("runtime"));
    env.remove("QT_SCALE_FACTOR");
    env.remove("QT_SCREEN_SCALE_FACTORS");
    return env;
}

bool AppProcess::launch(QProcess &process, const QString &program, const QStringList &args) const
{
    process.setProgram(program);
    process.setArguments(args);
    if (m_launch)
        m_launch(process);
    process.start();
    return process.waitForStarted(5000);
}

bool AppProcess::start(const QStringList &args)
{
    return launch(m_process, executable(), args);
}

bool AppProcess::startRelocated(const QString &serverUrl)
{
    const QString bundle = m_home.filePath("Copy.app");
    QFile plist(bundle + "/Contents/Info.plist");
    QFile browser(m_home.filePath("browser.sh"));
    if (QProcess::execute("cp", {"-R", CORVANE_BUNDLE_DIR, bundle}) != 0 ||
        !plist.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        !browser.open(QIODevice::WriteOnly))
        return false;
    plist.write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CorvaneServerUrl"
                "</key><string>" +
                serverUrl.toHtmlEscaped().toUtf8() + "</string></dict></plist>\n");
    browser.write(
        QString("#!/bin/sh\necho \"$1\" >> '%1'\n").arg(m_home.filePath("opened.txt")).toUtf8());
    browser.close();
    browser.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    QProcessEnvironment env = m_process.processEnvironment();
    env.insert("BROWSER", browser.fileName());
    env.insert("DEFAULT_BROWSER", browser.fileName());
    m_process.setProcessEnvironment(env);
    return launch(m_process, bundle + "/Contents/MacOS/corvane", {});
}

QByteArray AppProcess::opened() const
{
    QFile file(m_home.filePath("opened.txt"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

int AppProcess::launchAgain(const QStringList &args, QByteArray *stderrOut) const
{
    QProcess second;
    dieWithParent(second);
    second.setProcessEnvironment(m_process.processEnvironment());
    if (!launch(second, executable(), args) || !second.waitForFinished(15000)) {
        second.kill();
        second.waitForFinished(2000);
        return -1;
    }
    if (stderrOut)
        *stderrOut = second.readAllStandardError();
    return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
}

bool AppProcess::waitForExit(int timeoutMs)
{
    return waitUntil([this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
}

QByteArray AppProcess::stderrText()
{
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}

QList<XWindow> visibleAppWindows(const XServer &server)
{
    QList<XWindow> windows;
    QByteArray ids;
    server.run("xdotool", {"search", "--onlyvisible", "--classname", "^corvane$"}, &ids);
    for (const QByteArray &id : ids.split('\n')) {
        if (id.trimmed().isEmpty())
            continue;
        QByteArray shell;
        if (server.run("xdotool", {"getwindowgeometry", "--shell", QString::fromLatin1(id)},
                       &shell) != 0)
            continue;
        QHash<QByteArray, int> v;
        for (const QByteArray &line : shell.split('\n')) {
            const int eq = line.indexOf('=');
            if (eq > 0)
                v.insert(line.left(eq), line.mid(eq + 1).toInt());
        }
        windows.append({QString::fromLatin1(id.trimmed()),
                        QRect(v.value("X"), v.value("Y"), v.value("WIDTH"), v.value("HEIGHT"))});
    }
    return windows;
}

static Kind kindOf(const XWindow &w)
{
    if (w.geometry.width() <= 64 && w.geometry.height() <= 64)
        return Kind::TrayIcon;
    return w.geometry.width() >= 1000 ? Kind::Overlay : Kind::Menu;
}

QList<XWindow> windowsOf(const XServer &server, Kind kind)
{
    QList<XWindow> found;
    for (const XWindow &w : visibleAppWindows(server)) {
        if (kindOf(w) == kind)
            found.append(w);
    }
    return found;
}

bool waitForWindow(const XServer &server, Kind kind, XWindow *out, int ms)
{
    return waitUntil(
        [&] {
            const auto list = windowsOf(server, kind);
            if (list.isEmpty())
                return false;
            if (out)
                *out = list.first();
            return true;
        },
        ms);
}

bool waitForNoWindow(const XServer &server, Kind kind, int ms)
{
    return waitUntil([&] { return windowsOf(server, kind).isEmpty(); }, ms);
}

bool click(const XServer &server, QPoint at, int button)
{
    return server.run("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()),
                                  "click", QString::number(button)}) == 0;
}

bool chooseFromMenu(const XServer &server, const XWindow &icon, const QStringList &keys,
                    const std::function<bool()> &done, XWindow *menu)
{
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (!click(server, icon.geometry.center(), 3) || !waitForWindow(server, Kind::Menu, menu))
            continue;
        QTest::qWait(500 * attempt);
        server.run("xdotool", QStringList{"key"} + keys);
        if (waitUntil(done, 5000))
            return true;
        server.run("xdotool", {"key", "Escape"});
        waitForNoWindow(server, Kind::Menu, 3000);
    }
    return false;
}

} // namespace testkit
