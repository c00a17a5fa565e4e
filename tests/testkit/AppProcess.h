#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <functional>

#include "testkit/Files.h"
#include "testkit/XServer.h"

namespace testkit {

// The built application bundle run as a person would start it: its own home, settings and
// runtime folders, on the desktop whose session environment it is given.
class AppProcess
{
public:
    // On a desktop that gives its clients the environment session and, where given, starts
    // them its own way: launch makes a process, ready with program, arguments and environment,
    // run there.
    explicit AppProcess(const QProcessEnvironment &session,
                        std::function<void(QProcess &)> launch = {});
    ~AppProcess() { stopProcess(m_process); }

    QProcessEnvironment environment() const;
    bool start(const QStringList &args = {});
    // Another launch as the same user, in the same environment less the variables unset;
    // returns its exit code (-1 if it hung).
    int launchAgain(const QStringList &args = {}, const QStringList &unset = {}) const;
    bool waitForExit(int timeoutMs);
    QProcess &process() { return m_process; }
    QByteArray stderrText();
    QString home() const { return m_home.path(); }
    // Starts a copy of the bundle whose Info.plist names serverUrl, with a stand-in browser
    // that writes down every address it is asked to open; opened() reads them back.
    bool startRelocated(const QString &serverUrl);
    QByteArray opened() const { return readFile(m_home.filePath("opened.txt")).trimmed(); }

private:
    bool launch(QProcess &process, const QString &program, const QStringList &args) const;

    QProcessEnvironment m_session;
    std::function<void(QProcess &)> m_launch;
    QTemporaryDir m_home;
    QProcess m_process;
    QByteArray m_stderr;
};

} // namespace testkit
