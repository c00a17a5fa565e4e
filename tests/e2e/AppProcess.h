#pragma once

#include <QList>
#include <QProcess>
#include <QRect>
#include <QTemporaryDir>

#include "testkit/XServer.h"

namespace testkit {

// The built application bundle run as a person would start it: its own home, settings and
// runtime folders, on a given X server.
class AppProcess
{
public:
    explicit AppProcess(const XServer &server);
    ~AppProcess();

    QString executable() const;
    QProcessEnvironment environment() const;
    bool start(const QStringList &args = {});
    // Another launch as the same user; returns its exit code (-1 if it hung).
    int launchAgain(const QStringList &args = {}, QByteArray *stderrOut = nullptr) const;
    bool waitForExit(int timeoutMs);
    QProcess &process() { return m_process; }
    QByteArray stderrText();
    QString home() const { return m_home.path(); }

private:
    const XServer &m_server;
    QTemporaryDir m_home;
    QProcess m_process;
    QByteArray m_stderr;
};

struct XWindow
{
    QString id;
    QRect geometry;
};

// The application's visible top-level windows (tray icon, menus, overlays).
QList<XWindow> visibleAppWindows(const XServer &server);

} // namespace testkit
