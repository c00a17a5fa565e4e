#include "AppProcess.h"

#include <QDir>
#include <QFile>

namespace testkit {

const char kExecutable[] = CORVANE_BUNDLE_DIR "/Contents/MacOS/corvane";

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
    return launch(m_process, kExecutable, args);
}

bool AppProcess::startRelocated(const QString &serverUrl)
{
    const QString bundle = m_home.filePath("Copy.app"), browser = m_home.filePath("browser.sh");
    if (QProcess::execute("cp", {"-R", CORVANE_BUNDLE_DIR, bundle}) != 0 ||
        !writeFile(bundle + "/Contents/Info.plist",
                   "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CorvaneServerUrl"
                   "</key><string>" +
                       serverUrl.toHtmlEscaped().toUtf8() + "</string></dict></plist>\n") ||
        !writeFile(browser, QString("#!/bin/sh\necho \"$1\" >> '%1'\n")
                                .arg(m_home.filePath("opened.txt"))
                                .toUtf8()) ||
        !QFile::setPermissions(browser, QFile::ReadOwner | QFile::ExeOwner))
        return false;
    QProcessEnvironment env = m_process.processEnvironment();
    env.insert("BROWSER", browser);
    env.insert("DEFAULT_BROWSER", browser);
    m_process.setProcessEnvironment(env);
    return launch(m_process, bundle + "/Contents/MacOS/corvane", {});
}

int AppProcess::launchAgain(const QStringList &args, const QStringList &unset) const
{
    QProcess second;
    dieWithParent(second);
    QProcessEnvironment env = m_process.processEnvironment();
    for (const QString &name : unset)
        env.remove(name);
    second.setProcessEnvironment(env);
    // One that hangs is stopped; one that never started has no exit code.
    const bool ended = launch(second, kExecutable, args) && second.waitForFinished(15000);
    const int code = stopProcess(second);
    return ended ? code : -1;
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

} // namespace testkit
